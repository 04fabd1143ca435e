#!/usr/bin/env bash
# Installs what the build and the tests need and is missing. Safe to run again.
set -euo pipefail
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for p in g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev clang-format; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
