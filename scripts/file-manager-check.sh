#!/usr/bin/env bash
# Shows what a person sees, as one table: each installed file manager of GNOME Files (nautilus),
# Nemo, Caja, Thunar, Dolphin and PCManFM-Qt, and the desktops of those that draw one under Xvfb,
# on a private session bus with a scratch home, before an apply, after it and after the restore.
# For each shot it counts the furball's pixels (by its flat fur colours) and it compares the
# restored shot with the one before. Screenshots go to OUT; a row whose program is not installed
# is marked so.
#
#   scripts/file-manager-check.sh [--install] [OUT]    (default OUT: build/screenshots)
#
# Needs xvfb, imagemagick, gvfs and python3-pil; installs them when missing and run as root. With
# --install (as root) it also installs the six file managers and xfdesktop4. Not part of the test
# command: the packages are large.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
managers=(nautilus nemo caja thunar xfdesktop4 xfwm4 dolphin pcmanfm-qt)
if [[ "${1:-}" == --install ]]; then
    shift
    install_managers=1
fi
if [[ -z "${LUMARO_PRIVATE_SESSION:-}" ]]; then
    need=()
    command -v Xvfb >/dev/null || need+=(xvfb)
    command -v import >/dev/null || need+=(imagemagick)
    [[ -x /usr/libexec/gvfsd-metadata ]] || need+=(gvfs gvfs-daemons)
    command -v dbus-run-session >/dev/null || need+=(dbus)
    /usr/bin/python3 -c 'import PIL' 2>/dev/null || need+=(python3-pil)
    [[ -n "${install_managers:-}" ]] && need+=("${managers[@]}" hicolor-icon-theme adwaita-icon-theme)
    if ((${#need[@]})); then
        [[ $EUID -eq 0 ]] || { echo "install first: apt-get install ${need[*]}" >&2; exit 1; }
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    fi
fi

source "$repo/scripts/screen-check-setup.sh" 1000x640 "$@"
program= wm=
trap 'kill $program $wm "$xvfb" 2>/dev/null || true' EXIT

# The same items in a folder and on the Desktop: a file, a folder, a folder with its own .directory,
# a file with an emblem a person gave it.
make_items() {
    mkdir -p "$1/Photos" "$1/Music"
    printf 'notes\n' >"$1/notes.txt"
    printf '%%PDF-1.4\n' >"$1/report.pdf"
    printf '[Desktop Entry]\nIcon=folder-music\n' >"$1/Music/.directory"
}
folder="$HOME/Files"
make_items "$folder"
make_items "$HOME/Desktop"
export XDG_DATA_DIRS=/usr/local/share:/usr/share
# An icon theme for the Qt programs, which have no desktop to take one from; Nemo refuses root
# unless told (in the scratch settings).
mkdir -p "$XDG_CONFIG_HOME/pcmanfm-qt/default"
printf '[Icons]\nTheme=Adwaita\n' >"$XDG_CONFIG_HOME/kdeglobals"
printf '[System]\nIconThemeName=Adwaita\n' >"$XDG_CONFIG_HOME/pcmanfm-qt/default/settings.conf"
[[ $EUID -ne 0 ]] || gsettings set org.nemo.preferences treat-root-as-normal true 2>/dev/null || true

# Waits (at most 40 s) until the screen shows something and stays the same for 2 s: a program
# has started and drawn.
settle() {
    local last= now
    for _ in $(seq 40); do
        sleep 1
        now="$(import -window root rgb:- | md5sum)"
        if [[ "$now" == "$last" ]] && [[ "$(import -window root -format '%[fx:maxima]' info:)" != 0 ]]; then
            return
        fi
        last=$now
    done
}

# Pixels within a small distance of the furball's three fur colours (resources/furball.png,
# scripts/draw-furball.py); scaled renditions keep their flat interiors.
count_furball() {
    /usr/bin/python3 - "$1" <<'EOF'
import sys
from PIL import Image
fur = [(238, 146, 66), (196, 98, 45), (255, 196, 120)]
image = Image.open(sys.argv[1]).convert("RGB")
near = lambda p: any(abs(p[0] - c[0]) + abs(p[1] - c[1]) + abs(p[2] - c[2]) <= 24 for c in fur)
print(sum(1 for p in image.getdata() if near(p)))
EOF
}
# Pixels that differ between two shots.
count_changed() {
    /usr/bin/python3 - "$1" "$2" <<'EOF'
import sys
from PIL import Image, ImageChops
a, b = (Image.open(p).convert("RGB") for p in sys.argv[1:3])
print(sum(1 for p in ImageChops.difference(a, b).getdata() if p != (0, 0, 0)))
EOF
}

rows=()
# Starts the program of a row; with `restart` set, again before each later shot.
start() {
    [[ -z "$program" ]] || { kill "$program" 2>/dev/null; wait "$program" 2>/dev/null; }
    "$@" >>"$log" 2>&1 &
    program=$!
    sleep "$wait"
    settle
}
# check NAME DESKTOP-NAME TARGET WAIT COMMAND...: the program draws TARGET (a folder, or "desktop").
# With restart=1 the program is started anew for each shot (a desktop that redraws only what it
# reads at its start).
check() {
    local name=$1 session=$2 target=$3 wait=$4
    shift 4
    if ! command -v "$1" >/dev/null; then
        rows+=("$(printf '%-22s %-8s %s' "$name" "$session" "not installed")")
        return
    fi
    local state="$HOME/state-$name" where=(--folder "$folder")
    log="$out/$name.log"
    : >"$log"
    [[ $target == desktop ]] && where=(--desktop)
    export XDG_CURRENT_DESKTOP=$session
    start "$@"
    import -window root "$out/$name-before.png"
    "$cli" --state-root "$state" --desktop-root "$HOME/Desktop" apply "${where[@]}" >>"$log" 2>&1 || true
    # Otherwise no refresh is asked for: the window must redraw on its own from the change notes.
    [[ -n "${restart:-}" ]] && start "$@" || sleep 5
    import -window root "$out/$name-applied.png"
    "$cli" --state-root "$state" --desktop-root "$HOME/Desktop" restore >>"$log" 2>&1 || true
    [[ -n "${restart:-}" ]] && start "$@" || sleep 5
    import -window root "$out/$name-restored.png"
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
    program=
    sleep 1
    rows+=("$(printf '%-22s %-8s %8s %8s %8s %8s' "$name" "$session" "$(count_furball "$out/$name-before.png")" \
        "$(count_furball "$out/$name-applied.png")" "$(count_furball "$out/$name-restored.png")" \
        "$(count_changed "$out/$name-before.png" "$out/$name-restored.png")")")
}

check nautilus GNOME "$folder" 10 nautilus --new-window "$folder"
check nemo X-Cinnamon "$folder" 6 nemo --no-desktop "$folder"
check nemo-desktop X-Cinnamon desktop 8 nemo-desktop
check caja MATE "$folder" 6 caja --no-desktop --browser "$folder"
check caja-desktop MATE desktop 8 caja --force-desktop --no-default-window
check thunar XFCE "$folder" 6 thunar "$folder"
# xfdesktop draws nothing without a window manager.
if command -v xfwm4 >/dev/null; then
    xfwm4 --compositor=off >/dev/null 2>&1 &
    wm=$!
fi
check xfdesktop XFCE desktop 8 xfdesktop --disable-wm-check
restart=1 check xfdesktop-restarted XFCE desktop 8 xfdesktop --disable-wm-check
kill $wm 2>/dev/null || true
wm=
check dolphin KDE "$folder" 10 dolphin --new-window "$folder"
check pcmanfm-qt LXQt "$folder" 6 pcmanfm-qt "$folder"
check pcmanfm-qt-desktop LXQt desktop 8 pcmanfm-qt --desktop

echo
echo "Furball pixels before, after the apply and after the restore; pixels that differ between"
echo "the shots before and after the restore. Shots in $out"
printf '%-22s %-8s %8s %8s %8s %8s\n' program desktop before applied restored changed
printf '%s\n' "${rows[@]}"
