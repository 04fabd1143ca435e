#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang 14) and runs each one
# that has seeds under fuzz/corpus/NAME (and its dictionary fuzz/NAME.dict,
# if there is one) for a bounded time: FUZZ_SECONDS each
# (default 60). Inputs it finds worth keeping go to build/fuzz/work/NAME, so a
# later run goes on from there; a crash, leak or failed check stops the run
# with its input in build/fuzz/findings/. Further arguments go to every
# fuzzer (for instance -jobs=2 -workers=2).
#   FUZZ_SECONDS=3600 scripts/fuzz.sh          an hour each
#   FUZZ_ONLY=modelc_source scripts/fuzz.sh    one fuzzer only
#   FUZZ_SEED=7 scripts/fuzz.sh                the same mutations on every run
#   FUZZ_JOBS=1 scripts/fuzz.sh                one fuzzer at a time (default: one
#                                              per core, each a single process)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/findings build/fuzz/logs
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}

# Runs one fuzzer for its time; its verdict line goes to build/fuzz/logs/NAME.verdict.
fuzz_one() {
  local name=$1 corpus=$2 fuzzer work log options=()
  fuzzer=build/fuzz/fuzz/$name
  work=build/fuzz/work/$name
  log=build/fuzz/logs/$name.log
  mkdir -p "$work"
  if [ -f "fuzz/$name.dict" ]; then
    options+=(-dict="fuzz/$name.dict")
  fi
  if [ -n "${FUZZ_SEED:-}" ]; then
    options+=(-seed="$FUZZ_SEED")
  fi
  shift 2
  if "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$name-" "${options[@]}" "$@" "$work" "$corpus" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $name ran ${runs:-?} inputs in ${seconds}s, no finding" >"build/fuzz/logs/$name.verdict"
  else
    echo "fuzz: $name FAILED; the input is in build/fuzz/findings/, the log ends:" >"build/fuzz/logs/$name.verdict"
    tail -n 40 "$log" >>"build/fuzz/logs/$name.verdict"
    return 1
  fi
}

status=0
names=()
running=0
for corpus in fuzz/corpus/*/; do
  name=$(basename "$corpus")
  if [ -n "${FUZZ_ONLY:-}" ] && [ "$name" != "$FUZZ_ONLY" ]; then
    continue
  fi
  if [ ! -x "build/fuzz/fuzz/$name" ]; then
    echo "fuzz.sh: $name has seeds but no fuzzer was built" >&2
    status=1
    continue
  fi
  rm -f "build/fuzz/logs/$name.verdict"
  names+=("$name")
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$name" "$corpus" "$@" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
# The verdicts in the corpora's order, whichever finished first.
for name in "${names[@]}"; do
  if grep -q FAILED "build/fuzz/logs/$name.verdict" 2>/dev/null; then
    cat "build/fuzz/logs/$name.verdict" >&2
  else
    cat "build/fuzz/logs/$name.verdict" 2>/dev/null || { echo "fuzz: $name left no verdict" >&2; status=1; }
  fi
done
exit $status
