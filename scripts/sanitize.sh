#!/usr/bin/env bash
# Builds the whole test suite with clang and -fsanitize=address,undefined and runs it; any report
# fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUIREMARK_SANITIZE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2
