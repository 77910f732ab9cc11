#!/usr/bin/env bash
# Installs the Debian packages Vask builds, tests and runs with. Safe to run again: only what is
# missing is installed, and the package lists are refreshed at most once.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang ccache
    libsqlite3-dev sqlite3 nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libicu-dev
    libsecret-1-dev gnome-keyring dbus dbus-x11 python3-dbusmock libpoppler-cpp-dev libpng-dev libxml2-dev libical-dev libplist-dev libarchive-dev
    libheif-dev libwebp-dev libtiff-dev libgif-dev
    libcpp-httplib-dev qt6-base-dev qt6-svg-dev zsh
    googletest libgtest-dev libgmock-dev libbenchmark-dev gcovr
)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
