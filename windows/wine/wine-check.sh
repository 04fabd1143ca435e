#!/usr/bin/env bash
# wine-check.sh TEMPLATE_PREFIX PREFIX CHECK_EXE DRIVER_INF STANDIN_INF PRNMODEL_DLL [--offline]
# Runs the driver check under Wine in PREFIX, a fresh copy of the 32-bit
# prefix TEMPLATE_PREFIX (installed drivers stay in a prefix), natively or
# under QEMU (i386-run.sh), and ends the prefix's processes afterwards:
# drivers loaded by Wine's PnP manager go only with their host process.
# The copy (about 600 MB) is removed afterwards unless PRN_KEEP_PREFIX is set.
# When the check fails, says where a crashed process was (crashsite.py) and
# why a check that printed no summary ended.
set -euo pipefail
if [ -z "${PRN_I386_MODE:-}" ]; then
  exec bash "$(dirname "$0")/../../scripts/i386-run.sh" bash "$0" "$@"
fi
template=$1 prefix=$2 check=$3
shift 3
[ -f "$template/system.reg" ] || { echo "no Wine prefix at $template (run the wine.prefix test first)" >&2; exit 1; }
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
rm -rf "$prefix"
cp -a "$template" "$prefix"

# Windows paths for the files (Z: is the Unix root in every prefix).
args=()
for a in "$@"; do
  case $a in
    /*) args+=("Z:${a//\//\\}") ;;
    *) args+=("$a") ;;
  esac
done

echo "32-bit programs: ${PRN_I386_MODE}"
start=$(date +%s)
status=0
log=$prefix.out
set +e
timeout 280 wine "$check" "${args[@]}" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
timeout 30 wineserver -k || true
timeout 30 wineserver --wait || true
echo "check took $(( $(date +%s) - start )) s"
if [ "$status" -ne 0 ]; then
  # Where a process died, which of Wine's routines it was in; and a check
  # that ended without its own last line says why it ended.
  python3 "$(dirname "$0")/crashsite.py" "$log"
  if [ "$status" -eq 124 ]; then
    echo "FAIL: the check did not finish within 280 s (see the last step above)"
  elif ! grep -q -E '^(PASS|FAIL): [0-9]+ step' "$log"; then
    echo "FAIL: the check program ($(basename "$check")) ended without its summary, exit status $status"
  fi
fi
rm -f "$log"
[ -n "${PRN_KEEP_PREFIX:-}" ] || rm -rf "$prefix"
exit $status
