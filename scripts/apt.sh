# Sourced by the install scripts: apt-get against a mirror that may be behind
# or in the middle of a sync.
#
#   apt_update          apt-get update, tried APT_TRIES times (default 3),
#                       APT_WAIT seconds apart (default 10); indexes that still
#                       fail are named in one line and the run goes on with
#                       what was fetched (their suites in apt_lagging)
#   apt_install ARGS    apt-get install -y ARGS; when that cannot be resolved
#                       and an index was missing, once more with each lagging
#                       suite pinned below the release for this install only;
#                       when nothing works, one line naming the packages and
#                       the cause, and a non-zero status
#
# Why the pin: with the i386 index of the security suite missing, the amd64
# libraries come from that suite in newer versions than the i386 ones the
# release has, and Multi-Arch: same packages must match, so the install
# cannot be resolved. Pinned below the release, both come from the release.
#
# APT_PREFERENCES_DIR (default /etc/apt/preferences.d) is where the pin goes.

apt_me=${apt_me:-${0##*/}}
# Suites whose index failed, kept for the scripts this one starts.
read -r -a apt_lagging <<<"${APT_LAGGING:-}"

apt_say() { echo "$apt_me: $*" >&2; }

# "SUITE ARCH: CAUSE" for each index that failed, from apt-get update's
# error lines ("E: Failed to fetch URL/dists/SUITE/COMPONENT/binary-ARCH/...
# CAUSE [IP: ...]"; older releases say "W:").
apt_failed_indexes() {
  sed -n -E 's%^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/[^/ ]+/binary-([^/ ]+)/[^ ]*[[:space:]]+(.*)$%\1 \2: \3%p' "$1" |
    sed -E 's/ *\[IP: [^]]*\]$//' | sort -u
}

apt_update() {
  local tries=${APT_TRIES:-3} wait=${APT_WAIT:-10} try log failed
  log=$(mktemp)
  for ((try = 1; try <= tries; try++)); do
    if apt-get update -qq >/dev/null 2>"$log" && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      rm -f "$log"
      apt_lagging=()
      export APT_LAGGING=""
      return 0
    fi
    if ((try < tries)); then
      sleep "$wait"
    fi
  done
  failed=$(apt_failed_indexes "$log")
  if [ -n "$failed" ]; then
    mapfile -t apt_lagging < <(echo "$failed" | cut -d' ' -f1 | sort -u)
    export APT_LAGGING="${apt_lagging[*]}"
    apt_say "after $tries tries the mirror still fails the index of $(echo "$failed" | sed 's/ \([^:]*\):/ (\1):/' | paste -sd';' - | sed 's/;/; /g'); going on with the indexes it served"
  else
    apt_say "apt-get update failed $tries times ($(grep -m1 '^E:' "$log" || tail -n 1 "$log")); going on with the package lists already here"
  fi
  rm -f "$log"
  return 0
}

# The packages among ARGS (options left out).
apt_packages() {
  local a
  for a in "$@"; do
    case $a in -*) ;; *) echo "$a" ;; esac
  done
}

# The first line of an install's log that says why it failed: an unmet
# dependency, else apt's own error. Where the dependency is a foreign
# architecture's copy of a library installed in another version (a
# Multi-Arch: same package must be at one version in every architecture),
# the two versions are named.
apt_cause() {
  local line dep name arch have offered
  line=$(grep -m1 -E ' : (Pre)?Depends: | : Conflicts: | : Breaks: ' "$1" | sed -E 's/^ +//; s/ +/ /g')
  if [ -n "$line" ]; then
    dep=$(echo "$line" | sed -n -E 's/.* : (Pre)?Depends: ([^ ]+).*/\2/p')
    name=${dep%%:*}
    arch=${dep#*:}
    if [ -n "$dep" ] && [ "$arch" != "$dep" ]; then
      have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null || true)
      offered=$(apt-cache policy "$dep" 2>/dev/null | sed -n 's/^ *Candidate: //p')
      if [ -n "$have" ] && [ -n "$offered" ] && [ "$offered" != "(none)" ] && [ "$have" != "$offered" ]; then
        line="$line ($name is installed at $have, the $arch one on offer is $offered, and both must be at one version)"
      fi
    fi
  fi
  [ -n "$line" ] || line=$(grep -m1 '^E:' "$1" | sed 's/^E: //')
  [ -n "$line" ] || line=$(grep -v '^ *$' "$1" | tail -n 1)
  echo "${line:-apt-get install failed with no message}"
}

apt_try_install() { apt-get install -y -qq "$@" >"$apt_log" 2>&1; }

apt_pin_file=""
apt_unpin() {
  if [ -n "$apt_pin_file" ]; then
    rm -f "$apt_pin_file"
    apt_pin_file=""
  fi
}

apt_install() {
  local status=0 suite p cause pinned=""
  apt_bad=()
  apt_log=$(mktemp)
  export DEBIAN_FRONTEND=noninteractive
  apt_try_install "$@" || status=$?
  if [ "$status" -ne 0 ] && [ ${#apt_lagging[@]} -gt 0 ] && ! grep -q '^E: Failed to fetch' "$apt_log"; then
    pinned=" even with ${apt_lagging[*]} pinned below the release"
    apt_say "$(apt_packages "$@" | paste -sd' ' -) cannot be resolved without the missing index; trying once more with ${apt_lagging[*]} pinned below the release for this install"
    apt_pin_file=${APT_PREFERENCES_DIR:-/etc/apt/preferences.d}/prn-lagging-mirror
    trap apt_unpin EXIT
    trap 'apt_unpin; exit 130' INT TERM
    for suite in "${apt_lagging[@]}"; do
      printf 'Package: *\nPin: release n=%s\nPin-Priority: 100\n\n' "$suite"
    done >"$apt_pin_file"
    status=0
    apt_try_install "$@" || status=$?
    [ "$status" -eq 0 ] || apt_find_bad "$@"
    apt_unpin
    trap - EXIT INT TERM
  elif [ "$status" -ne 0 ]; then
    apt_find_bad "$@"
  fi
  if [ "$status" -eq 0 ]; then
    rm -f "$apt_log"
    return 0
  fi
  cause=$(apt_cause "$apt_log")
  apt_say "cannot install ${apt_bad[*]}$pinned: $cause (the whole log: $apt_log)"
  return 1
}

# The packages among ARGS that fail on their own (all of them when none does)
# in apt_bad, as the failed install was tried; a quiet install hides why a
# resolution failed, so the first failing package's simulation (not quiet)
# goes into the log for apt_cause.
apt_find_bad() {
  local p simulated
  simulated=$(mktemp)
  for p in $(apt_packages "$@"); do
    if ! apt-get install -s -y -q "$p" >"$simulated" 2>&1; then
      [ ${#apt_bad[@]} -gt 0 ] || cat "$simulated" >>"$apt_log"
      apt_bad+=("$p")
    fi
  done
  rm -f "$simulated"
  [ ${#apt_bad[@]} -gt 0 ] || mapfile -t apt_bad < <(apt_packages "$@")
}
