#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
# Usage: scripts/install-deps.sh [run|test]
set -euo pipefail

packages=(build-essential cmake g++ pkg-config libgtest-dev libmariadb-dev)
if [ "${1:-run}" = "test" ]; then
    packages+=(mariadb-server mariadb-client clang libclang-rt-14-dev iproute2)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
