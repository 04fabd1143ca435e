#!/usr/bin/env bash
# Installs what the build and the tests need and is missing. Safe to run again.
# Besides the host toolchain: mingw-w64 for the 32-bit Windows images, and
# Wine (32-bit, so the i386 architecture) to run the DLL's conformance cases,
# and clang 14 with libFuzzer for the fuzzers (scripts/fuzz.sh). Where the
# kernel cannot run 32-bit programs, also qemu-user 8 or later, from the
# release's backports suite when the release itself has an older one.
# A mirror that is behind or in the middle of a sync is survived as
# scripts/apt.sh describes.
set -euo pipefail
. "$(dirname "$0")/apt.sh"
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
# With --host only what the host build needs (the demo); without it everything
# the whole test suite needs.
packages=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev clang-format python3)
if [ "${1:-}" != "--host" ]; then
  packages+=(g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386
    clang-14 clang-tidy libfuzzer-14-dev libclang-rt-14-dev)
fi
for p in "${packages[@]}"; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  apt_install "${need[@]}"
fi

if [ "${1:-}" != "--host" ]; then
  bash "$(dirname "$0")/install-qemu.sh"
fi
