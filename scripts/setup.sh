#!/usr/bin/env bash
# Installs every Debian package Shotlark needs (only what is missing) and builds it.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
shift || true

packages=(
    # toolchain
    g++ cmake ninja-build pkg-config
    # the app
    qt6-base-dev qcoro-qt6-dev libcurl4-openssl-dev libxml2-dev libxkbcommon-dev fonts-dejavu-core
    shared-mime-info
    libcanberra-dev sound-theme-freedesktop libxcb1-dev libxcb-keysyms1-dev libxcb-shm0-dev
    tesseract-ocr tesseract-ocr-eng libtesseract-dev libleptonica-dev
    libavcodec-dev libavformat-dev libavutil-dev libyuv-dev libpulse-dev libxcb-xfixes0-dev
    libxcb-randr0-dev libarchive-dev libssl-dev openssl libwayland-dev libpipewire-0.3-dev
    # packages users install (CPack's Debian generator reads library dependencies with dpkg-dev)
    dpkg-dev
    # the reference media server
    libboost1.81-dev libsqlite3-dev libssl-dev libavfilter-dev libpq-dev
    # tests: GoogleTest, a private X display and session bus, X clients to inspect them
    libgtest-dev libgmock-dev xvfb dbus x11-xserver-utils xdotool xclip openssl
    ffmpeg pulseaudio pulseaudio-utils sox
    # fuzz targets (clang's libFuzzer)
    clang-14 libfuzzer-14-dev
    # the web pages, in a real browser
    chromium
    # a headless Wayland session with the desktop portals, and a pointer and keys to drive it
    qt6-wayland sway xdg-desktop-portal xdg-desktop-portal-wlr xdg-desktop-portal-gtk
    pipewire wireplumber wtype wl-clipboard libglib2.0-bin
)
# Stock GNOME Shell and KDE Plasma's KWin, headless, with their own portals: only what they
# need (their recommendations would bring whole desktop sessions).
lean_packages=(gnome-shell gjs xdg-desktop-portal-gnome python3-gi
    kwin-wayland xdg-desktop-portal-kde qtwayland5
    # the server on PostgreSQL (an S3 peer comes from the npm registry), behind nginx and Caddy
    postgresql-15 nginx caddy)
if ! command -v npm >/dev/null; then lean_packages+=(nodejs npm); fi

# One query for all of them (a start that changes nothing should not wait for seventy).
missing_of() {
    local -A have=()
    local name state
    while read -r name state; do
        [[ "$state" == "install ok installed" ]] && have[$name]=1
    done < <(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null)
    for name in "$@"; do
        [[ -n "${have[$name]:-}" ]] || echo "$name"
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_lean < <(missing_of "${lean_packages[@]}")
if ((${#missing[@]} + ${#missing_lean[@]})); then
    echo "Installing: ${missing[*]} ${missing_lean[*]}"
    sudo=()
    if ((EUID != 0)); then sudo=(sudo); fi
    "${sudo[@]}" apt-get update -qq
    if ((${#missing[@]})); then
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
    fi
    if ((${#missing_lean[@]})); then
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
            "${missing_lean[@]}"
    fi
fi

# A configured tree configures itself again when a CMake file changed.
if [[ ! -f "$build/CMakeCache.txt" || $# -gt 0 ]]; then
    cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
fi
cmake --build "$build"
