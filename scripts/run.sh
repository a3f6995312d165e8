#!/usr/bin/env bash
# Sets up, builds and starts netbuf. A default net.db is prepared next to the
# executable when there is none (see README: "Preparing net.db").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
NETBUF_TARGETS="netbuf netbuf-db netbuf-readersim" bash scripts/build.sh build
if [ ! -e build/bin/net.db ]; then
  build/bin/netbuf-db create build/bin/net.db
fi
exec build/bin/netbuf
