#!/usr/bin/env bash
# Quick start, step one: install what is missing, build prnsim and xdbq, run the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --host
cmake --preset host >/dev/null
cmake --build --preset demo
exec build/host/tools/prnsim/prnsim demo "$@"
