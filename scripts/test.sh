#!/usr/bin/env bash
# Quick start, step two: the whole test suite under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan
ctest --preset host-asan
