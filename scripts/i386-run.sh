#!/usr/bin/env bash
# i386-run.sh COMMAND [ARGS...]
# Runs COMMAND where 32-bit x86 Linux programs (32-bit Wine) can run:
#  - as it is, where the kernel runs them itself;
#  - otherwise under QEMU's user-mode emulation: qemu-i386 is registered for
#    i386 ELF programs in a binfmt_misc instance of a private user and mount
#    namespace (Linux 6.7 and later), so the machine's own configuration is
#    left alone; where the kernel has no such instances, system-wide (root);
#  - and where neither is possible, fails with one line saying why.
# i386-run.sh --describe prints how 32-bit programs run here and exits.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
probe=/usr/lib/wine/wine
binfmt=/proc/sys/fs/binfmt_misc
# The rule that binfmt-support and QEMU's own scripts use for i386 ELF
# executables (also matches ET_DYN with the interpreter field set).
rule=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() {
  echo "i386-run.sh: $*" >&2
  exit 1
}

runs_i386() { "$probe" --version >/dev/null 2>&1; }

qemu_version() { "$1" --version 2>/dev/null | sed -n '1s/.*version \([0-9.]*\).*/\1/p'; }

# Inside the private namespace: a binfmt_misc instance of our own, qemu-i386
# registered with F (the interpreter is opened now, so it is found whatever
# the mount namespace of the program), then the command.
if [ "${1:-}" = "--inside-namespace" ]; then
  qemu=$2
  shift 2
  mount -t binfmt_misc binfmt_misc "$binfmt"
  printf '%s:%s:F' "$rule" "$qemu" >"$binfmt/register"
  export PRN_I386_MODE="qemu-i386 $(qemu_version "$qemu") in a private binfmt_misc namespace"
  exec "$@"
fi

[ -x "$probe" ] || fail "32-bit Wine is not installed ($probe missing); run scripts/install-deps.sh"

mode=""
if [ -n "${PRN_I386_MODE:-}" ] && runs_i386; then
  mode=$PRN_I386_MODE
elif runs_i386; then
  mode="native"
fi

if [ -z "$mode" ]; then
  qemu=$(command -v qemu-i386 || true)
  [ -n "$qemu" ] || fail "this kernel cannot run 32-bit programs and qemu-i386 is not installed; run scripts/install-deps.sh"
  major=$(qemu_version "$qemu" | cut -d. -f1)
  [ "${major:-0}" -ge 8 ] || fail "this kernel cannot run 32-bit programs and $qemu is version $(qemu_version "$qemu"); 32-bit Wine needs qemu-user 8 or later (scripts/install-deps.sh)"
  if unshare --user --map-root-user --mount --propagation private \
    sh -c "mount -t binfmt_misc binfmt_misc $binfmt" >/dev/null 2>&1; then
    if [ "${1:-}" = "--describe" ]; then
      echo "32-bit programs: qemu-i386 $(qemu_version "$qemu") in a private binfmt_misc namespace"
      exit 0
    fi
    exec unshare --user --map-root-user --mount --propagation private \
      bash "$here/i386-run.sh" --inside-namespace "$qemu" "$@"
  fi
  # No binfmt_misc instance of our own: register for the whole machine.
  [ "$(id -u)" = 0 ] || fail "this kernel cannot run 32-bit programs, has no private binfmt_misc instances and registering qemu-i386 system-wide needs root"
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || fail "this kernel cannot run 32-bit programs and binfmt_misc cannot be mounted to register qemu-i386"
  fi
  [ -e "$binfmt/qemu-i386" ] || printf '%s:%s:F' "$rule" "$qemu" >"$binfmt/register"
  runs_i386 || fail "qemu-i386 is registered system-wide but 32-bit Wine still does not start"
  mode="qemu-i386 $(qemu_version "$qemu"), registered system-wide"
fi

if [ "${1:-}" = "--describe" ]; then
  echo "32-bit programs: $mode"
  exit 0
fi
export PRN_I386_MODE=$mode
exec "$@"
