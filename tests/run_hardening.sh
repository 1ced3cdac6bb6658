#!/usr/bin/env bash
# Hardening checks, run by CI after the main tests (needs clang-16 and
# libclang-rt-16-dev):
#   1. the C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
#      (built to take exact sums two at a time, the path processors without
#      256-bit vectors take, which the main build's tests may not reach);
#   2. the concurrency test under ThreadSanitizer;
#   3. the extension modules built with AddressSanitizer + UndefinedBehaviorSanitizer
#      and the codec layer's hostile-caller tests run on them (chunks rewritten
#      while other threads decode them, misaligned buffers, odd destinations);
#   4. every libFuzzer harness over its seeds and regression inputs, then a
#      short fuzzing run of each (FUZZ_SECONDS, default 25).
# Build trees: build-asan, build-tsan, build-asan-py, build-fuzz (ignored by git).
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds="${FUZZ_SECONDS:-25}"
export CC=clang-16 CXX=clang++-16
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

step() { printf '\n== %s (%(%H:%M:%S)T)\n' "$1" -1; }

step "unit tests under ASan + UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_SANITIZE=ON \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_PYTHON=OFF -DCORVANE_NARROW_SUMS=ON >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2 --timeout 600

step "concurrency under TSan"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_TSAN=ON \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build build-tsan -j2 --target corvane_core
# Only the threaded tests are built here (the concurrency test, and the lanes
# of a chunk coded on several threads): the rest of the suite is single
# threaded and already runs under ASan.
clang++-16 -std=c++2b -O1 -g -fsanitize=thread -fno-omit-frame-pointer -ffp-contract=off -I. -Iinclude \
  tests/cpp/codec/test_concurrency.cpp tests/cpp/lanes/test_lanes.cpp build-tsan/src/libcorvane_core.a build-tsan/wavelet/libcorvane_wavelet.a \
  -lgtest -lgtest_main -lz -pthread -o build-tsan/concurrency_tests
build-tsan/concurrency_tests

step "codec layer under ASan + UBSan"
# The interpreter is not instrumented: the sanitizer runtime is preloaded, and
# leaks (the interpreter's own, at exit) are not reported.
asan_runtime=$(clang++-16 -print-file-name=libclang_rt.asan-x86_64.so)
rm -rf build-asan-py/site
python3 -m pip install --quiet --no-deps --target build-asan-py/site . \
  -C build-dir=build-asan-py/build -C cmake.build-type=RelWithDebInfo -C cmake.define.CORVANE_SANITIZE=ON
# Memory budgets are measured in the plain build: the sanitizers' own
# bookkeeping would count against them here.
(cd tests/python && PYTHONPATH="$PWD/../../build-asan-py/site" LD_PRELOAD="$asan_runtime" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" python3 -m pytest -q -p no:cacheprovider test_hardening.py \
  -k "not crafted and not sizes_past")

step "fuzz harnesses: seeds and regression inputs"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BUILD_FUZZ=ON \
  -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_PYTHON=OFF >/dev/null
cmake --build build-fuzz -j2
for h in header decode_stream decode_coeffs decompress roundtrip lanes destination decode_refined; do
  inputs=(tests/fuzz/seeds/"$h")
  [ -d tests/fuzz/regressions/"$h" ] && inputs+=(tests/fuzz/regressions/"$h")
  build-fuzz/tests/fuzz/fuzz_"$h" -runs=0 -malloc_limit_mb=64 "${inputs[@]}" 2>build-fuzz/replay-"$h".log || {
    tail -n 40 build-fuzz/replay-"$h".log; exit 1; }
  echo "fuzz_$h: $(grep -c . <(find "${inputs[@]}" -type f)) inputs replayed"
done

step "fuzz harnesses: ${fuzz_seconds}s each"
bash tests/fuzz/run_fuzz.sh build-fuzz "$fuzz_seconds"

step "hardening checks passed"
