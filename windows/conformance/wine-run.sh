#!/usr/bin/env bash
# wine-run.sh PREFIX [PROGRAM ARGS...]
# Makes the 32-bit Wine prefix PREFIX if it is not there yet (quietly, within
# a time limit), then runs PROGRAM in it, if one is given. Where the kernel
# cannot run 32-bit programs, the whole run goes under QEMU (i386-run.sh).
set -euo pipefail
if [ -z "${PRN_I386_MODE:-}" ]; then
  exec bash "$(dirname "$0")/../../scripts/i386-run.sh" bash "$0" "$@"
fi
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko installer prompts: nothing here needs .NET or a browser.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  if ! timeout 300 wineboot --init >"$prefix.log" 2>&1; then
    echo "creating the Wine prefix failed or took over 300 s; see $prefix.log" >&2
    exit 1
  fi
  timeout 60 wineserver --wait || true
  echo "Wine prefix ready: $prefix"
fi

if [ $# -gt 0 ]; then
  status=0
  timeout 240 wine "$@" || status=$?
  timeout 30 wineserver --wait || true
  exit $status
fi
