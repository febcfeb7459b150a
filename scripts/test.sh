#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the regular build,
# the library tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short run of the fuzz target over the media fixtures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

JOBS="${MEND_JOBS:-$(nproc)}"
FUZZ_SECONDS="${MEND_FUZZ_SECONDS:-60}"
export QT_QPA_PLATFORM=offscreen

echo "== regular build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$JOBS"
ctest --test-dir build --output-on-failure -j"$JOBS" -LE xvfb

echo "== window tests on real X servers (Xvfb), each on its own, with and without a compositing manager"
ctest --test-dir build --output-on-failure -j"$JOBS" -L xvfb
echo "   screens: $(ls build/screens/*.png | tr '\n' ' ')"

echo "== sanitizer build (clang, ASan + UBSan)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEND_SANITIZE=ON -DMEND_FUZZ=ON -DMEND_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan -L lib --output-on-failure -j"$JOBS"

echo "== fuzz smoke run (${FUZZ_SECONDS} s)"
CORPUS=build-asan/fuzz-corpus
mkdir -p "$CORPUS" build-asan/fuzz-tmp
TMPDIR="$PWD/build-asan/fuzz-tmp" build-asan/fuzz/mendcore_fuzz -max_total_time="$FUZZ_SECONDS" -timeout=20 -rss_limit_mb=4096 \
  -max_len=262144 -print_final_stats=1 "$CORPUS" build-asan/fixtures
echo "== all tests passed"
