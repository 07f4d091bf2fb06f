#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, -fsanitize=fuzzer,address,undefined) in build-fuzz and runs
# each for SECONDS seconds (default 120), one after the other. The working corpus of each target
# starts from the committed seeds and regression inputs (fuzz/seeds/<name>, fuzz/regressions/<name>)
# and is kept in build-fuzz/corpus/<name> between runs. Any crash, leak, timeout or failed check
# stops the run with a non-zero status; the input that caused it is left in
# build-fuzz/artifacts/<name>/ (add it to fuzz/regressions/<name>/ once fixed).
#
# With QM_FUZZ_SEED=N the run is mostly repeatable: libFuzzer's random choices start from seed N, the
# working corpus starts empty (build-fuzz/corpus-seed<N>/<name>, cleared first), and each target
# runs a fixed number of inputs, SECONDS times its usual rate on a 2-core machine, instead of for a
# time (capped at three times SECONDS). CI uses this. The seed fixes libFuzzer's own choices, not
# everything that steers them: values the targets compare, such as addresses of memory the
# system places at random, feed its mutations, so two runs of a target with one seed can still
# differ a little and meet inputs the other did not. The job target names a fixed working
# directory in such runs, since its messages contain the path. Searching for new faults is what
# the unseeded runs are for.
#
# Usage: [QM_FUZZ_SEED=N] scripts/fuzz.sh [SECONDS] [TARGET...]
#        TARGET: inflate, load, job (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(inflate load job)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIREMARK_BUILD_FUZZERS=ON \
  -DQUIREMARK_BUILD_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# fuzz_job writes its files in a private directory under TMPDIR; a memory file system keeps the
# output's fsync from dominating each run.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
status=0
for t in "${targets[@]}"; do
  artifacts=build-fuzz/artifacts/$t
  case $t in
    inflate) extra=(-max_len=16384) rate=800 ;;
    load) extra=(-max_len=65536 -dict=fuzz/pdf.dict) rate=60 ;;
    *) extra=(-max_len=65536 -dict=fuzz/pdf.dict) rate=50 ;;
  esac
  if [ -n "${QM_FUZZ_SEED:-}" ]; then
    corpus=build-fuzz/corpus-seed$QM_FUZZ_SEED/$t
    rm -rf "$corpus"
    extra+=(-seed="$QM_FUZZ_SEED" -runs=$((secs * rate)) -max_total_time=$((3 * secs)))
    what="$((secs * rate)) inputs from seed $QM_FUZZ_SEED"
    # The job target's messages name its files: the same directory on every machine and run.
    export QM_FUZZ_WORKDIR=${TMPDIR:-/tmp}/qmfuzz-seed$QM_FUZZ_SEED-$t
    rm -rf "$QM_FUZZ_WORKDIR"
  else
    corpus=build-fuzz/corpus/$t
    extra+=(-max_total_time="$secs")
    what="${secs} s"
  fi
  mkdir -p "$corpus" "$artifacts"
  seeds=(fuzz/seeds/$t)
  [ -d fuzz/regressions/$t ] && seeds+=(fuzz/regressions/$t)
  log=build-fuzz/fuzz-$t.log
  echo "== fuzz_$t, $what (log: $log)"
  if ! build-fuzz/fuzz/fuzz_$t "${extra[@]}" -timeout=25 \
      -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    echo "fuzz_$t FAILED; the end of its log:"
    tail -n 60 "$log"
    status=1
  fi
  [ -z "${QM_FUZZ_WORKDIR:-}" ] || rm -rf "$QM_FUZZ_WORKDIR"
  # Executions, coverage (cov: edges, ft: features) and memory of the run.
  grep -h -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true
  grep -h -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
done
exit $status
