#!/usr/bin/env bash
# Shows what a person sees in a launcher: rofi's application list under Xvfb, on a private session
# with a scratch home and XDG folders, before an apply, after it and after the restore. The two
# entries of a scratch system folder come first; the machine's own entries follow. Screenshots go
# to OUT.
#
#   scripts/launcher-check.sh [OUT]    (default OUT: build/screenshots)
#
# Needs rofi, xvfb and imagemagick (not part of the test command):
#   apt-get install --no-install-recommends rofi xvfb imagemagick
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$(realpath -m "${1:-$repo_root/build/screenshots}")"
cli="$repo_root/build/dev/cli/lumaro-cli"
mkdir -p "$out"
[[ -x "$cli" ]] || { echo "build first: cmake --build build/dev" >&2; exit 1; }

if [[ -z "${LUMARO_PRIVATE_SESSION:-}" ]]; then
    exec "$repo_root/scripts/with-private-session.sh" "$0" "$out"
fi

display=":$((80 + RANDOM % 9))"
Xvfb "$display" -screen 0 700x420x24 -nolisten tcp &
xvfb=$!
rofi=
trap 'kill $rofi "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY="$display"
sleep 1

system="$HOME/system"
mkdir -p "$system/applications" "$HOME/Desktop"
export XDG_DATA_DIRS="$system:/usr/share"
printf '[Desktop Entry]\nType=Application\nName=Aa Editor\nIcon=text-editor-symbolic\nExec=true\n' \
    >"$system/applications/aa-editor.desktop"
printf '[Desktop Entry]\nType=Application\nName=Ab Terminal\nIcon=utilities-terminal-symbolic\nExec=true\n' \
    >"$system/applications/ab-terminal.desktop"

shot() {
    rofi -show drun -show-icons -icon-theme Adwaita -lines 6 -width 90 >/dev/null 2>&1 &
    rofi=$!
    sleep 3
    import -window root "$out/launcher-$1.png"
    kill "$rofi" 2>/dev/null || true
    wait "$rofi" 2>/dev/null || true
    rofi=
    echo "$out/launcher-$1.png"
}

shot before
"$cli" --state-root "$HOME/state" --desktop-root "$HOME/Desktop" apply
shot applied
"$cli" --state-root "$HOME/state" --desktop-root "$HOME/Desktop" restore
shot restored
