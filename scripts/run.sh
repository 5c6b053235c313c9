#!/usr/bin/env bash
# Builds Lumaro (Release) and runs it on a safe default: a scratch state directory and a scratch
# demo folder under ${TMPDIR:-/tmp}/lumaro-demo, so nothing of yours is touched.
#
#   scripts/run.sh [args ...]
#
# With a display ($DISPLAY or $WAYLAND_DISPLAY) it opens the window `lumaro`, passing args on.
# Without one it runs `lumaro-cli status` and then `lumaro-cli apply --demo`; when args are given
# they replace those two commands (for example `scripts/run.sh restore`).
# The scratch state is kept between runs, so a later run can restore what an earlier one did.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

build_dir=build/release

bash scripts/ensure-deps.sh

echo "run: building $build_dir"
if [[ -f "$build_dir/CMakeCache.txt" ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build_dir/CMakeCache.txt"; then
    rm -rf "$build_dir"
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build_dir" --parallel "$(nproc)"

find_program() {
    find "$repo_root/$build_dir" -name "$1" -type f -perm -u+x -not -path '*/CMakeFiles/*' -print -quit
}
gui="$(find_program lumaro)"
cli="$(find_program lumaro-cli)"

scratch="${TMPDIR:-/tmp}/lumaro-demo"
roots=(--state-root "$scratch/state" --preview-root "$scratch/demo")

if [[ -z "$gui" && -z "$cli" ]]; then
    echo
    echo "run: the front ends (lumaro, lumaro-cli) are not built yet."
    echo "run: built the libraries and tests in $build_dir; run scripts/test.sh to test them."
    exit 0
fi

mkdir -p "$scratch/state" "$scratch/demo"
echo "run: scratch directory $scratch"

if [[ -n "$gui" && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
    echo "run: $gui ${roots[*]} $*"
    exec "$gui" "${roots[@]}" "$@"
fi

if [[ -z "$cli" ]]; then
    echo "run: no display, and lumaro-cli is not built yet; built $build_dir only."
    exit 0
fi

if (($# > 0)); then
    echo "run: $cli ${roots[*]} $*"
    exec "$cli" "${roots[@]}" "$@"
fi
echo "run: $cli ${roots[*]} status"
"$cli" "${roots[@]}" status
echo "run: $cli ${roots[*]} apply --demo"
"$cli" "${roots[@]}" apply --demo
