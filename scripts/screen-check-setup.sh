# Sourced by the screenshot checks: sets repo_root, out and cli, reruns the calling script on a
# private session when it is not on one yet, and starts Xvfb (its pid in xvfb) of the given size.
#
#   source scripts/screen-check-setup.sh WIDTHxHEIGHT "$@"
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${2:-$repo_root/build/screenshots}")"
cli="$repo_root/build/dev/cli/lumaro-cli"
mkdir -p "$out"
[[ -x "$cli" ]] || { echo "build first: cmake --build build/dev" >&2; exit 1; }

if [[ -z "${LUMARO_PRIVATE_SESSION:-}" ]]; then
    exec "$repo_root/scripts/with-private-session.sh" "$0" "$out"
fi

display=":$((80 + RANDOM % 19))"
Xvfb "$display" -screen 0 "${1}x24" -nolisten tcp &
xvfb=$!
export DISPLAY="$display"
sleep 1
