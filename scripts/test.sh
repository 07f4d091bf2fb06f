#!/usr/bin/env bash
# Builds quiremark with its tests and runs all of them (C++ unit and end-to-end tests, the CLI tests,
# the exported-symbol check, the replay of the fuzz seeds and regression inputs, the Python binding's
# tests and the install test).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIREMARK_BUILD_TESTS=ON >/dev/null
cmake --build build-test -j2
ctest --test-dir build-test --output-on-failure -j2
