#!/usr/bin/env bash
# Sets up, builds and runs every test: unit, window (offscreen), system tests
# with real peers (among them the Debian package: a Release build without
# -Werror, lintian, the unit), every fuzz target for a bounded time, then the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "== folder order of the includes"
python3 scripts/check_layers.py
bash scripts/build.sh build

echo "== tests (unit, ui, system)"
ctest --test-dir build --output-on-failure -j 2 --timeout 300

echo "== fuzzing: every input surface, ${NETBUF_FUZZ_SECONDS:-60} s each"
bash fuzz/run "${NETBUF_FUZZ_SECONDS:-60}"

echo "== unit tests and the storage system tests under ThreadSanitizer"
NETBUF_TARGETS="netbuf netbuf-db netbuf-readersim unit_tests" \
  bash scripts/build.sh build-tsan -DNETBUF_SANITIZE_THREAD=ON -DNETBUF_WITH_BENCH=OFF
# A child that dies of a signal on purpose (a window without its display) must die
# of it, not of the sanitizer's report.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 handle_sigbus=0 handle_segv=0"
build-tsan/bin/unit_tests --gtest_brief=1
for t in test_nothing_blocks_the_loop test_faults test_unattended; do
  NETBUF_BIN="$PWD/build-tsan/bin" PYTHONPATH="$PWD/tests/system" \
    timeout 600 /usr/bin/python3 "tests/system/$t.py"
done
unset TSAN_OPTIONS

echo "== unit tests under ASan + UBSan"
bash scripts/build.sh build-asan -DNETBUF_SANITIZE=ON -DNETBUF_WITH_UI=OFF -DNETBUF_WITH_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j 2 --timeout 300
