#!/usr/bin/env bash
# Shows what a person sees: a real file manager (Caja) under Xvfb, on a private session bus with
# a scratch home, before an apply, after it and after the restore. Screenshots go to OUT.
#
#   scripts/file-manager-check.sh [OUT]    (default OUT: build/screenshots)
#
# Needs caja, xvfb and imagemagick (not part of the test command):
#   apt-get install --no-install-recommends caja xvfb imagemagick
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/screen-check-setup.sh" 900x600 "$@"
trap 'kill "$caja" "$xvfb" 2>/dev/null || true' EXIT

folder="$HOME/Files"
mkdir -p "$folder/Photos" "$folder/Music"
printf 'notes\n' >"$folder/notes.txt"
printf '[Desktop Entry]\nIcon=folder-music\n' >"$folder/Music/.directory"

# No refresh is asked for: the window must redraw on its own from the change notes.
shot() {
    sleep 4
    import -window root "$out/$1.png"
    echo "$out/$1.png"
}

caja --no-desktop --browser "$folder" >/dev/null 2>&1 &
caja=$!
shot before
"$cli" --state-root "$HOME/state" apply --folder "$folder"
shot applied
"$cli" --state-root "$HOME/state" restore
shot restored
