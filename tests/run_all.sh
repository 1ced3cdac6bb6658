#!/usr/bin/env bash
# Runs every test: installs the package (building the extension), builds and
# runs the C++ unit tests, then the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet ".[test]"

# The C++ tests need CMake 3.24+ and Ninja: the system's where good enough, else
# PyPI's, into the same environment.
cmake_version() { "$1" --version 2>/dev/null | sed -n '1s/[^0-9]*\([0-9][0-9.]*\).*/\1/p'; }
new_enough() { [ "$(printf '%s\n' 3.24 "${1:-0}" | sort -V | head -n1)" = 3.24 ]; }
new_enough "$(cmake_version cmake)" || python3 -m pip install --quiet "cmake>=3.24"
command -v ninja >/dev/null 2>&1 || python3 -m pip install --quiet ninja
hash -r

# GoogleTest is the system's (libgtest-dev): its CMake package is named to
# whichever CMake runs, so that one from PyPI finds it as the system's does.
gtest_hint=()
for dir in /usr/lib/*/cmake/GTest /usr/lib64/cmake/GTest /usr/lib/cmake/GTest /usr/local/lib/*/cmake/GTest \
           /usr/local/lib/cmake/GTest; do
  if [ -f "$dir/GTestConfig.cmake" ]; then gtest_hint=("-DGTest_DIR=$dir"); break; fi
done

configure() {
  "$1" -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON \
    ${gtest_hint[@]+"${gtest_hint[@]}"}
}
cmake_bin=$(command -v cmake)
if ! configure "$cmake_bin"; then
  # Should the CMake first on PATH still not configure the tests, the
  # system's own, which its packages are installed for, gets a turn in a
  # fresh build tree.
  [ -x /usr/bin/cmake ] && new_enough "$(cmake_version /usr/bin/cmake)" && [ "$cmake_bin" != /usr/bin/cmake ] ||
    exit 1
  echo "run_all.sh: $cmake_bin could not configure the C++ tests; trying /usr/bin/cmake" >&2
  cmake_bin=/usr/bin/cmake
  rm -rf build/tests
  configure "$cmake_bin"
fi
"$cmake_bin" --build build/tests -j2
ctest_bin="$(dirname "$cmake_bin")/ctest"
[ -x "$ctest_bin" ] || ctest_bin=ctest
"$ctest_bin" --test-dir build/tests --output-on-failure -j2

# Run from outside the tree so `import corvane` finds the installed module.
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)
