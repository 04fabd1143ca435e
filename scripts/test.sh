#!/usr/bin/env bash
# Quick start, step two: the whole test suite. First the 32-bit Windows
# images and their checks (PE imports and exports, the model database under
# Wine, natively or emulated), the concurrency stress under ThreadSanitizer,
# the optimised build and the fuzzers, then the host suite under the
# sanitizers, whose summary ends the run.
# Each phase's wall time is printed as it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/phases.sh
if [ "$PHASES_OUTER" = $$ ]; then
  phase install
fi
bash scripts/install-deps.sh
phase "Windows build"
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86
# Wine is 32-bit: where the kernel cannot run such programs, the checks run
# under QEMU (scripts/i386-run.sh says which, or why neither works). They
# keep about one core busy, so they run beside the two builds that follow;
# their output is shown, and their time printed, once they have ended.
bash scripts/i386-run.sh --describe
windows_log=build/windows-x86/checks.log
windows_began=$SECONDS
(
  status=0
  bash scripts/i386-run.sh ctest --test-dir build/windows-x86/windows --output-on-failure \
    >"$windows_log" 2>&1 || status=$?
  echo $((SECONDS - windows_began)) >"$windows_log.seconds"
  exit $status
) &
windows_checks=$!
# Should a build below fail, the checks beside it end with the run.
trap 'status=$?; kill "$windows_checks" 2>/dev/null; (exit $status); phase_exit' EXIT
# Concurrency stress under ThreadSanitizer (the tests labelled "stress"),
# then every fuzzer for a minute, before the host suite.
phase "TSan build and stress (beside the Windows checks)"
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan
ctest --preset host-tsan
# The optimised build the benchmarks use: the optimiser warns of things the
# debug builds never see, and warnings are errors.
phase "release build (beside the Windows checks)"
cmake --preset release >/dev/null
cmake --build --preset release
phase_done
windows_status=0
wait "$windows_checks" || windows_status=$?
trap phase_exit EXIT
cat "$windows_log"
windows_took=$(phase_time "$(cat "$windows_log.seconds")")
if [ "$windows_status" -ne 0 ]; then
  echo "== Windows checks: FAILED after $windows_took"
  exit "$windows_status"
fi
echo "== Windows checks: $windows_took, beside the builds above"
# Every interleaving of the concurrent driver scenarios with at most two
# decisions off the default schedule, in the optimised build (the host
# suite below explores them under the sanitizers with one).
phase explore
ctest --preset explore
# A fixed seed keeps this run repeatable; scripts/fuzz.sh alone explores anew.
phase fuzzers
FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_SEED=${FUZZ_SEED:-1} bash scripts/fuzz.sh
phase "ASan build"
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan
phase "host suite"
ctest --preset host-asan
phase_done
