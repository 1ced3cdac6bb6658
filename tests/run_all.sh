#!/usr/bin/env bash
# Runs every test: installs the package (building the extension), builds and
# runs the C++ unit tests, then the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet ".[test]"

# The C++ tests need CMake 3.24+ and Ninja: the system's where good enough, else
# PyPI's, into the same environment.
cmake_version=$(cmake --version 2>/dev/null | sed -n '1s/[^0-9]*\([0-9][0-9.]*\).*/\1/p')
if [ "$(printf '%s\n' 3.24 "${cmake_version:-0}" | sort -V | head -n1)" != 3.24 ]; then
  python3 -m pip install --quiet "cmake>=3.24"
fi
command -v ninja >/dev/null 2>&1 || python3 -m pip install --quiet ninja
hash -r

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

# Run from outside the tree so `import corvane` finds the installed module.
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)
