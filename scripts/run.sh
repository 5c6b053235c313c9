#!/usr/bin/env bash
# Builds Lumaro (Release) and runs it on a safe default: a scratch state directory and a scratch
# demonstration folder under ${TMPDIR:-/tmp}/lumaro-demo, never the real Desktop.
#
#   scripts/run.sh [args ...]
#
# With a display ($DISPLAY or $WAYLAND_DISPLAY) it opens the window `lumaro`, passing args on.
# Without one it runs the command-line front end: `apply --demo` (or `restore` when the scratch
# state still holds a skin from an earlier run), then `status`. Args, when given, replace those
# commands (for example `scripts/run.sh retry --json`).
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"
build_dir=build/release

bash scripts/ensure-deps.sh
if [[ -f "$build_dir/CMakeCache.txt" ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build_dir/CMakeCache.txt"; then
    rm -rf "$build_dir"
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target lumaro lumaro-cli

gui="$build_dir/app/lumaro"
cli="$build_dir/cli/lumaro-cli"
scratch="${TMPDIR:-/tmp}/lumaro-demo"
roots=(--state-root "$scratch/state" --preview-root "$scratch/demo" --desktop-root "$scratch/Desktop"
       --application-root "$scratch/Applications")
mkdir -p "$scratch/Desktop" "$scratch/Applications"
echo "run: scratch folder $scratch"

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    exec "$gui" "${roots[@]}" "$@"
fi
if (($# > 0)); then
    exec "$cli" "${roots[@]}" "$@"
fi
status=0
if "$cli" "${roots[@]}" status --json | grep -q '"pending":true'; then
    echo "run: lumaro-cli restore"
    "$cli" "${roots[@]}" restore || status=$?
else
    echo "run: lumaro-cli apply --demo"
    "$cli" "${roots[@]}" apply --demo || status=$?
fi
echo "run: lumaro-cli status"
"$cli" "${roots[@]}" status
exit "$status"
