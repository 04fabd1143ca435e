#!/usr/bin/env bash
# Installs qemu-user (version 8 or later) when this kernel cannot run 32-bit
# programs, so that 32-bit Wine runs emulated (scripts/i386-run.sh). Older
# QEMU runs Wine, but minutes per process. When the release's own qemu-user is
# older, the release's backports suite is added on the mirror that the
# machine's apt sources already name.
set -euo pipefail
. "$(dirname "$0")/apt.sh"
probe=${I386_PROBE:-/usr/lib/wine/wine}
if [ ! -x "$probe" ] || "$probe" --version >/dev/null 2>&1; then
  exit 0 # no 32-bit Wine to run, or the kernel runs it itself
fi
major() { sed -n 's/^\([0-9]*:\)\{0,1\}\([0-9]*\).*/\2/p'; }
if command -v qemu-i386 >/dev/null; then
  have=$(qemu-i386 --version | sed -n '1s/.*version \([0-9]*\).*/\1/p')
  [ "${have:-0}" -lt 8 ] || exit 0
fi
export DEBIAN_FRONTEND=noninteractive
candidate() { apt-cache policy qemu-user | sed -n 's/^ *Candidate: //p' | major; }
if [ "$(candidate)" = "" ] || [ "$(candidate)" -lt 8 ]; then
  . /etc/os-release
  suite=${VERSION_CODENAME:?no release codename in /etc/os-release}-backports
  list=/etc/apt/sources.list.d/prn-$suite.sources
  if [ ! -f "$list" ]; then
    # The first mirror that serves the release itself, from deb822 sources
    # or one-line entries.
    uri=$(awk -v suite="$VERSION_CODENAME" '
      /^URIs:/ { uris = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uris != "") { print uris; exit } }
      /^$/ { uris = "" }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
      uri=$(awk -v suite="$VERSION_CODENAME" '$1 == "deb" {
          sub(/\[[^]]*\]/, ""); $0 = $0; if ($3 == suite) { print $2; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { echo "install-qemu.sh: no apt source for $VERSION_CODENAME to take the $suite mirror from" >&2; exit 1; }
    {
      echo "Types: deb"
      echo "URIs: $uri"
      echo "Suites: $suite"
      echo "Components: main"
      if [ -f /usr/share/keyrings/debian-archive-keyring.gpg ]; then
        echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
      fi
    } >"$list"
  fi
  apt_update
  apt_install --no-install-recommends -t "$suite" qemu-user
else
  apt_install --no-install-recommends qemu-user
fi
echo "installed $(qemu-i386 --version | head -n 1): this kernel cannot run 32-bit programs itself"
