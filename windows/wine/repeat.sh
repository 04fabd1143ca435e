#!/usr/bin/env bash
# repeat.sh [--count N] [--load N] [--test NAME] [--keep-going] [--trace CHANNELS]
# Runs one Windows check (default wine.driver) N times in a row (default 30),
# natively or under QEMU as the test run does (scripts/i386-run.sh), with N
# busy loops beside it (--load; default 0) so that it meets a loaded machine
# as a busy CI machine does. Each run's output is kept in
# build/windows-x86/repeat/NAME-RUN.log; the first failing run stops the loop
# (unless --keep-going) and keeps its Wine prefix. --trace sets WINEDEBUG for
# the check (for instance +seh,+plugplay), which changes its timing.
# Ends with "N passed, N failed" and exits 1 if any run failed.
# Needs the windows-x86 build (scripts/test.sh builds it).
set -euo pipefail
cd "$(dirname "$0")/../.."

count=30 load=0 test=wine.driver keep_going=0 trace=""
usage() { sed -n '2,11s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case $1 in
    --count) count=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
    --test) test=$2; shift 2 ;;
    --keep-going) keep_going=1; shift ;;
    --trace) trace=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "repeat.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
[[ $count =~ ^[0-9]+$ && $count -ge 1 ]] || { echo "repeat.sh: --count needs a positive number" >&2; exit 2; }
[[ $load =~ ^[0-9]+$ ]] || { echo "repeat.sh: --load needs a number of busy loops" >&2; exit 2; }
build=build/windows-x86
[ -f "$build/windows/CTestTestfile.cmake" ] || {
  echo "repeat.sh: no Windows build in $build (cmake --preset windows-x86 && cmake --build --preset windows-x86)" >&2
  exit 2
}
logs=$build/repeat
mkdir -p "$logs"

hogs=()
stop_load() { [ ${#hogs[@]} -eq 0 ] || kill "${hogs[@]}" 2>/dev/null || true; }
trap stop_load EXIT
for _ in $(seq 1 "$load"); do
  (while :; do :; done) &
  hogs+=($!)
done

echo "repeat: $test, $count run(s), $load busy loop(s) beside it; $(bash scripts/i386-run.sh --describe)"
passed=0 failed=0 started=$(date +%s)
for run in $(seq 1 "$count"); do
  log=$logs/$test-$run.log
  t0=$(date +%s)
  status=0
  env ${trace:+WINEDEBUG=$trace} PRN_KEEP_PREFIX=1 bash scripts/i386-run.sh \
    ctest --test-dir "$build/windows" -R "^${test//./\\.}\$" --output-on-failure >"$log" 2>&1 || status=$?
  took=$(( $(date +%s) - t0 ))
  prefix=$build/wineprefix-$test
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    echo "run $run: passed in $took s"
    rm -rf "$prefix"
  else
    failed=$((failed + 1))
    echo "run $run: FAILED in $took s (log $log, prefix kept in $prefix)"
    grep -E '^(FAIL|wine: |err:|[0-9a-f]{4}:err:)|crashed|check took' "$log" | head -20 | sed 's/^/  /'
    [ $keep_going -eq 1 ] || break
  fi
done
echo "repeat: $(( $(date +%s) - started )) s in all"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
