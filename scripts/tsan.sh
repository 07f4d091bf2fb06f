#!/usr/bin/env bash
# Builds the library and its concurrency test with clang and -fsanitize=thread, and runs the test:
# overlay jobs on eight threads at once over different inputs, with failing jobs alongside that
# write the shared error text, each output compared with the same job run alone, every job with
# its own helper threads (content read ahead, output written as it is made); then the helpers'
# own tests. Any report of ThreadSanitizer fails the run.
#
# Nothing is suppressed. The one race that the library documents, on the shared error text (a
# message may be read while another thread writes it), cannot be reported: the text is written
# byte by byte with atomic stores, so concurrent writers and readers never make a data race in
# the language's sense, only a mix of two messages.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j2 --target quiremark_job_threads_test quiremark_job_prefetch_test \
  quiremark_job_out_stream_test
mkdir -p build-tsan/tmp
# Eight jobs at once, each with its own helper threads; then the helpers' own tests.
for t in job_threads job_prefetch job_out_stream; do
  QM_TEST_TMP="$PWD/build-tsan/tmp" "build-tsan/tests/quiremark_${t}_test"
done
