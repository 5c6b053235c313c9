#!/usr/bin/env bash
# Builds in release mode and runs the benchmark: what a batch apply and a batch restore cost at
# N = 10, 100, 300 and 1000 items, next to the floor (the same durable manifest writes alone).
#
#   scripts/bench.sh [--dir FOLDER] [--sizes 10,100,300,1000]
#
# FOLDER is where the scratch items live (default /tmp); point it at the file system to measure.
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
bash scripts/ensure-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target lumaro_bench --parallel "$(nproc)"
exec build/release/bench/lumaro_bench "$@"
