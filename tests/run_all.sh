#!/usr/bin/env bash
# Runs every test: installs the package (building the extension), builds and
# runs the C++ unit tests, then the Python tests against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet ".[test]"

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_TESTS=ON
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

# Run from outside the tree so `import corvane` finds the installed module.
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)
