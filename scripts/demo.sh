#!/usr/bin/env bash
# Builds quiremark (the library, the command-line tool and the man page generator) into build/,
# and stamps the sample watermark on every page of the sample letter. Afterwards build/ holds
# libquiremark.so and the tool build/quiremark, and `cmake --install build` installs them.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DQUIREMARK_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 >/dev/null
mkdir -p out
./build/quiremark stamp samples/letter.pdf samples/draft-stamp.pdf out/letter-draft.pdf
echo "wrote out/letter-draft.pdf: samples/draft-stamp.pdf over every page of samples/letter.pdf"
echo "built build/quiremark and build/libquiremark.so"
