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

source "$(dirname "${BASH_SOURCE[0]}")/screen-check-setup.sh" 700x420 "$@"
rofi=
trap 'kill $rofi "$xvfb" 2>/dev/null || true' EXIT

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
