#!/usr/bin/env bash
# Installs the Debian packages Lumaro needs to build, test and run, if any are missing.
# Idempotent: when everything is present it does nothing and touches no network.
#
#   scripts/ensure-deps.sh [extra-package ...]
#
# Extra package names on the command line are ensured as well. LUMARO_WITH_XVFB=1 adds xvfb
# (a virtual X server; the tests themselves use QT_QPA_PLATFORM=offscreen and need none).
set -euo pipefail

packages=(
    cmake
    ninja-build
    g++
    qt6-base-dev
    nlohmann-json3-dev
    libplist-dev
    libgtest-dev
    libgmock-dev
    pkg-config
    attr
    file
    python3-pil
    fonts-wqy-microhei
    libglib2.0-dev
    gvfs
    gvfs-daemons
    dbus
    dbus-user-session
    qt6-translations-l10n
)
if [[ "${LUMARO_WITH_XVFB:-0}" == 1 ]]; then
    packages+=(xvfb)
fi
packages+=("$@")

is_installed() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]
}

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "ensure-deps: this script needs a Debian-based system (dpkg-query and apt-get)." >&2
    echo "ensure-deps: install these packages by other means: ${packages[*]}" >&2
    exit 1
fi

missing=()
for pkg in "${packages[@]}"; do
    is_installed "$pkg" || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    echo "ensure-deps: all ${#packages[@]} packages are installed."
    exit 0
fi

echo "ensure-deps: missing packages: ${missing[*]}"

as_root=()
if [[ "$(id -u)" -ne 0 ]]; then
    if command -v sudo >/dev/null 2>&1; then
        as_root=(sudo)
    else
        echo "ensure-deps: not running as root and sudo is not available." >&2
        echo "ensure-deps: as root, run: apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
fi

apt_opts=(-y -q -o DPkg::Lock::Timeout=300)
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install "${apt_opts[@]}" --no-install-recommends "${missing[@]}"

still_missing=()
for pkg in "${missing[@]}"; do
    is_installed "$pkg" || still_missing+=("$pkg")
done
if ((${#still_missing[@]} > 0)); then
    echo "ensure-deps: still missing after install: ${still_missing[*]}" >&2
    exit 1
fi
echo "ensure-deps: installed ${missing[*]}."
