#!/usr/bin/env bash
# The install scripts against a mirror that fails as a real one did, with
# apt-get, apt-cache, dpkg and dpkg-query replaced by shims on PATH: no
# network, no root, nothing of the machine's own touched.
#   - apt-get update always exits 100: the i386 index of bookworm-security
#     has an unexpected size ("Mirror sync in progress?");
#   - an install of i386 packages cannot be resolved unless bookworm-security
#     is pinned below the release; with the pin it succeeds;
#   - a package named "broken" cannot be installed in any way.
# The scripts must install through the pin, say each step in one line,
# leave no pin behind, and fail with one line where nothing works.
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

mkdir -p "$work/bin" "$work/prefs"
export SHIM_STATE=$work/installed APT_PREFERENCES_DIR=$work/prefs SHIM_LOG=$work/calls SHIM_LATER=$work/later
cat >"$work/bin/apt-get" <<'SHIM'
#!/usr/bin/env bash
echo "apt-get $*" >>"$SHIM_LOG"
case $1 in
  update)
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
  install)
    shift
    simulate=""
    pkgs=()
    for a in "$@"; do
      case $a in -s) simulate=1 ;; -*) ;; *) pkgs+=("$a") ;; esac
    done
    pinned=""
    grep -qs 'Pin: release n=bookworm-security' "$APT_PREFERENCES_DIR"/* && pinned=1
    for p in "${pkgs[@]}"; do
      if [ "$p" = broken ]; then
        echo "E: Unable to locate package broken" >&2
        exit 100
      fi
      if [[ $p == *:i386 ]] && { [ -z "$pinned" ] || [ -n "${SHIM_AMD64_NEWER:-}" ]; }; then
        echo "The following packages have unmet dependencies:"
        echo " libselinux1:i386 : Depends: libpcre2-8-0:i386 (>= 10.22) but it is not going to be installed"
        echo "                    Depends: libpcre2-8-0:i386 (>= 10.22) but it is not going to be installed"
        echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages." >&2
        exit 100
      fi
    done
    [ -n "$simulate" ] || printf '%s\n' "${pkgs[@]}" >>"$SHIM_STATE"
    if [ -z "$simulate" ] && [[ " ${pkgs[*]} " == *" qemu-user "* ]]; then
      mv "$SHIM_LATER/qemu-i386" "$(dirname "$0")/"
    fi
    exit 0 ;;
esac
exit 0
SHIM
cat >"$work/bin/dpkg" <<'SHIM'
#!/usr/bin/env bash
case $1 in
  -s) grep -qx "$2" "$SHIM_STATE" 2>/dev/null ;;
  -W) echo -n "10.42-1+deb12u1" ;;
  --print-foreign-architectures) echo i386 ;;
  *) exit 0 ;;
esac
SHIM
cp "$work/bin/dpkg" "$work/bin/dpkg-query"
cat >"$work/bin/apt-cache" <<'SHIM'
#!/usr/bin/env bash
case $2 in
  libpcre2-8-0:i386) printf '%s:\n  Installed: (none)\n  Candidate: 10.42-1\n' "$2" ;;
  *) printf 'qemu-user:\n  Installed: (none)\n  Candidate: 1:8.2.1+ds-1\n' ;;
esac
SHIM
cat >"$work/bin/not-i386" <<'SHIM'
#!/bin/sh
exit 1
SHIM
cat >"$work/bin/qemu-i386" <<'SHIM'
#!/bin/sh
echo "qemu-i386 version 8.2.1"
SHIM
chmod +x "$work/bin"/*
# qemu-i386 only appears once qemu-user is "installed"; until then it is kept aside.
mkdir "$work/later" && mv "$work/bin/qemu-i386" "$work/later/"
# Only the shims and the plain tools the scripts use are on PATH, so the
# machine's own apt, dpkg and qemu stay out of reach.
mkdir "$work/tools"
for t in bash sh env sed grep mktemp sort cut paste head tail cat rm mv cp mkdir ls wc awk tr \
  dirname basename id sleep kill seq chmod true false; do
  ln -s "$(command -v "$t")" "$work/tools/$t"
done
export PATH=$work/bin:$work/tools APT_WAIT=0 I386_PROBE=$work/bin/not-i386

# 1. Everything missing, the mirror lagging: installed through the pin.
out=$work/out1
if bash "$scripts/install-deps.sh" >"$out" 2>&1; then :; else fail "install-deps.sh exited $? with the pinned install available"; fi
grep -q '^install-deps.sh: after 3 tries the mirror still fails the index of bookworm-security (i386): File has unexpected size (374820 != 376004). Mirror sync in progress?; going on' "$out" ||
  fail "the missing index is not named in one line"
grep -q '^install-deps.sh: .*wine32:i386.* cannot be resolved without the missing index; trying once more with bookworm-security pinned below the release' "$out" ||
  fail "the pinned retry is not announced"
grep -qx 'wine32:i386' "$SHIM_STATE" || fail "wine32:i386 was not installed"
[ "$(grep -c '^apt-get update' "$SHIM_LOG")" -ge 3 ] || fail "apt-get update was not retried"
[ -z "$(ls -A "$work/prefs")" ] || fail "the pin was left behind: $(ls "$work/prefs")"
grep -qx 'qemu-user' "$SHIM_STATE" || fail "qemu-user was not installed where 32-bit programs do not run"
[ "$(wc -l <"$out")" -le 5 ] || fail "more than the expected lines: $(cat "$out")"

grep -q '^installed qemu-i386 version 8.2.1' "$out" || fail "the emulator's install is not reported"

# 2. Everything there: nothing is fetched or installed.
: >"$SHIM_LOG"
bash "$scripts/install-deps.sh" >"$work/out2" 2>&1 || fail "install-deps.sh failed with everything installed"
[ ! -s "$SHIM_LOG" ] || fail "apt-get ran with nothing missing: $(cat "$SHIM_LOG")"

# 3. A package that cannot be installed in any way: one line, non-zero, no pin.
sed -i '/^wine32:i386$/d' "$SHIM_STATE"
status=0
bash -c '. "$1/apt.sh"; apt_update; apt_install broken wine32:i386' _ "$scripts" >"$work/out3" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "an install that fails every way exited 0"
grep -q ': cannot install broken even with bookworm-security pinned below the release: Unable to locate package broken' "$work/out3" ||
  fail "the failure is not one line naming the package and the cause: $(cat "$work/out3")"
[ "$(grep -c 'cannot install' "$work/out3")" -eq 1 ] || fail "the failure takes more than one line"
[ -z "$(ls -A "$work/prefs")" ] || fail "the pin was left behind after a failed install"
grep -qx 'wine32:i386' "$SHIM_STATE" && fail "a failed install is reported as installed"

# 4. The amd64 libraries came from the lagging suite, so even the pin cannot
#    match the release's i386 ones: the line says which versions differ.
status=0
SHIM_AMD64_NEWER=1 bash -c '. "$1/apt.sh"; apt_update; apt_install wine32:i386' _ "$scripts" >"$work/out5" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "an install the pin cannot resolve exited 0"
grep -q 'cannot install wine32:i386 even with bookworm-security pinned below the release: libselinux1:i386 : Depends: libpcre2-8-0:i386 (>= 10.22) but it is not going to be installed (libpcre2-8-0 is installed at 10.42-1+deb12u1, the i386 one on offer is 10.42-1, and both must be at one version)' "$work/out5" ||
  fail "the version mismatch is not named: $(cat "$work/out5")"
[ -z "$(ls -A "$work/prefs")" ] || fail "the pin was left behind after the pinned install failed"

# 5. A pin is removed even when the install is interrupted.
cat >"$work/bin/apt-get" <<'SHIM'
#!/usr/bin/env bash
case $1 in
  update) echo "E: Failed to fetch http://m/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  Hash Sum mismatch" >&2; exit 100 ;;
  install) if grep -qs 'Pin:' "$APT_PREFERENCES_DIR"/*; then kill -TERM $PPID; sleep 5; fi; exit 100 ;;
esac
SHIM
bash -c '. "$1/apt.sh"; apt_update; apt_install wine32:i386' _ "$scripts" >"$work/out4" 2>&1 || true
[ -z "$(ls -A "$work/prefs")" ] || fail "an interrupted install left the pin behind"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the first run printed:" >&2
  cat "$out" >&2
  exit 1
fi
echo "install scripts: the lagging mirror survived, and a failing install fails in one line"
