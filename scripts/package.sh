#!/usr/bin/env bash
# Builds the Debian package into build-pkg/ (netbuf_<version>_<arch>.deb).
# Only the three installed programs are built; the tests and benchmarks are not.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=build-pkg
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNETBUF_WITH_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" --target netbuf netbuf-db netbuf-readersim
rm -f "$dir"/netbuf_*.deb
(cd "$dir" && cpack -G DEB)
ls "$dir"/netbuf_*.deb
