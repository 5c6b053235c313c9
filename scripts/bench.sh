#!/usr/bin/env bash
# Builds in release mode and runs the benchmark on a private session bus (the real desktop metadata
# service, never a person's own): what a batch apply and a batch restore cost per item at N = 100,
# 1000 and 5000, in a folder under $HOME (the private session's) and under /tmp, next to the floor
# (the durable writes alone) and the peer (GIO's synchronous attribute loop).
#
#   scripts/bench.sh [--dir FOLDER]... [--sizes 100,1000,5000] [--rounds 3] [--plain] [--no-metadata]
#                    [--json]
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
bash scripts/ensure-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target lumaro_bench --parallel "$(nproc)"
exec scripts/with-private-session.sh build/release/bench/lumaro_bench "$@"
