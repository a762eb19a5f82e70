#!/usr/bin/env bash
# Installs what is missing, builds a Release server and starts it in the
# console with the sample configuration (file store, port 7777), working in
# run/ so that user.dat stays out of the source tree.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh run
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DCARVANTA_TESTS=OFF
cmake --build build-release -j"$(nproc)" --target CarvantaServer

mkdir -p run
[ -f run/config.ini ] || cp config/config.ini run/config.ini
cd run
exec ../build-release/CarvantaServer -f config.ini
