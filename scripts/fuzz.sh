#!/usr/bin/env bash
# Runs the libFuzzer targets of the fuzz preset one after another and prints how many
# inputs each executed.
#
#   scripts/fuzz.sh [--runs N] [--seed S] [--keep] [TARGET...]
#
#   --runs N   executions per target (default 5000, what CI runs)
#   --seed S   libFuzzer's random seed (default 1). With --keep, a second run with
#              another seed is a second worker on the same corpus: two of them with
#              --runs 5000000 each make 10^7 executions on a machine's two cores.
#   --keep     keep growing the working corpus in build-fuzz/fuzz-corpus/TARGET
#              (default: start every run from the seeds in fuzz/corpus/TARGET alone,
#              in a temporary folder removed afterwards)
#   TARGET     receive, filter_record, parameter_file, sim_parser (default: all four)
#
# `make fuzz` builds the targets and runs this with the default; `make fuzz-long` runs
# it with --runs 10000000 --keep. Findings (crash, leak, undefined behaviour, a broken
# property, an input that runs for more than 30 s) stop the target and leave the input
# in build-fuzz/fuzz-artifacts/; the script then exits with status 1. Reproduce one with
#   build-fuzz/fuzz/fuzz_TARGET build-fuzz/fuzz-artifacts/TARGET-crash-...
# FUZZ_BUILD names another build folder than build-fuzz (say, a copy of the programs
# for a long run that a rebuild must not disturb).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5000
seed=1
keep=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(receive filter_record parameter_file sim_parser)

build=${FUZZ_BUILD:-build-fuzz}
# Largest input per target: a session of chunks, one record, a parameter file (a real
# one is under 1 KiB), a command stream.
declare -A max_len=([receive]=512 [filter_record]=64 [parameter_file]=1024 [sim_parser]=512)

# Every input builds and drops a whole control; a 32 MB quarantine still holds freed
# memory far longer than one input lives, and keeps the fuzzer from paging through the
# default 256 MB. Leaks are checked after every input that allocates more than it frees.
# Each allocation records 4 frames of its caller instead of 30: a tenth more inputs per
# second, and the report of a finding still shows where it happened in full (to see
# the whole history of a block, run the saved input again with ASAN_OPTIONS unset).
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32:malloc_context_size=4:detect_leaks=1:halt_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for t in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$t"
  if [ ! -x "$program" ]; then
    echo "fuzz: $program is missing (cmake --preset fuzz && cmake --build --preset fuzz --target fuzz_all)" >&2
    exit 2
  fi
  if [ "$keep" -eq 1 ]; then
    work="$build/fuzz-corpus/$t"
  else
    work="$scratch/$t"
  fi
  mkdir -p "$work"
  log="$build/fuzz-logs/$t-$runs.log"
  [ "$seed" = 1 ] || log="$build/fuzz-logs/$t-$runs-seed$seed.log"
  start=$(date +%s)
  # nice: the machine is shared; builds and tests go first.
  if nice -n 19 "$program" -runs="$runs" -seed="$seed" -timeout=30 -rss_limit_mb=2048 \
      -max_len="${max_len[$t]}" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-artifacts/$t-" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  seconds=$(( $(date +%s) - start ))
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf 'fuzz %-15s %s: %s runs in %s s (%s exec/s), corpus %s inputs\n' "$t" "$result" \
    "${executed:-?}" "$seconds" "${per_second:-?}" "$(ls "$work" | wc -l)"
  if [ "$result" = FAILED ]; then
    grep -E -m 20 'ERROR|fuzz check failed|SUMMARY|runtime error|Test unit written' "$log" >&2 || tail -20 "$log" >&2
  fi
done
exit $status
