#!/usr/bin/env bash
# Configures and builds netbuf into build/ (or the folder given as $1), with
# further CMake options after it. NETBUF_TARGETS limits what is built.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNETBUF_WERROR=ON "$@" >/dev/null
targets=()
for t in ${NETBUF_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
