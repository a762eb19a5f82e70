#!/usr/bin/env bash
# install-service.sh - installs the Carvanta server, its client and its
# user data inspector, and runs the server as the systemd service
# "carvanta" (daemon mode, account "carvanta", files as listed in
# packaging/systemd/carvanta.service). Run as root from anywhere:
#   packaging/install-service.sh [file|mysql]
# The argument picks the sample configuration installed as
# /etc/carvanta/config.ini (file store by default); an existing config.ini
# is kept. Rerunning it updates the programs and the unit.
set -euo pipefail
cd "$(dirname "$0")/.."

store="${1:-file}"
case "$store" in
    file | mysql) ;;
    *)
        echo "usage: $0 [file|mysql]" >&2
        exit 64
        ;;
esac

scripts/install-deps.sh run
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DCARVANTA_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" --target CarvantaServer CarvantaClient CarvantaUserData

if ! id carvanta >/dev/null 2>&1; then
    useradd --system --home-dir /var/lib/carvanta --no-create-home --shell /usr/sbin/nologin carvanta
fi
install -m 755 build-release/CarvantaServer build-release/CarvantaClient \
    build-release/CarvantaUserData /usr/local/bin/
install -d -m 755 /etc/carvanta /usr/local/share/doc/carvanta
if [ ! -f /etc/carvanta/config.ini ]; then
    install -m 640 -o root -g carvanta "config/config-$store.ini" /etc/carvanta/config.ini
    echo "Installed /etc/carvanta/config.ini (store: $store)"
else
    echo "Kept /etc/carvanta/config.ini"
fi
install -m 644 README.md sql/schema.sql /usr/local/share/doc/carvanta/
install -m 644 packaging/systemd/carvanta.service /etc/systemd/system/carvanta.service
if [ -d /etc/logrotate.d ]; then
    install -m 644 packaging/logrotate/carvanta /etc/logrotate.d/carvanta
fi

if [ -d /run/systemd/system ]; then
    systemctl daemon-reload
    systemctl enable carvanta
    systemctl restart carvanta
    systemctl --no-pager status carvanta || true
else
    echo "systemd is not running here: the unit is installed but not started."
fi
