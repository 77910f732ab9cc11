#!/usr/bin/env bash
# Installs the Debian packages Vask builds, tests and runs with. Safe to run again: only what is
# missing is installed, and the package lists are refreshed at most once.
set -euo pipefail

# Every package is named: the install below leaves recommendations out, so nothing may be left to
# one (clang only recommends the sanitizer and fuzzer runtimes, git the certificates).
packages=(
    # Compilers and build tools; libclang-rt-14-dev holds clang's sanitizer and libFuzzer
    # runtimes (the fuzz preset, scripts/fuzz.sh), llvm its llvm-symbolizer (sanitizer and fuzzer
    # reports with files and lines), clang-tidy serves scripts/lint.sh.
    build-essential cmake ninja-build pkg-config git ca-certificates clang libclang-rt-14-dev llvm
    clang-tidy ccache
    # Libraries the application links.
    libsqlite3-dev nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libicu-dev
    libsecret-1-dev libpoppler-cpp-dev libpng-dev libxml2-dev libical-dev libplist-dev libarchive-dev
    libheif-dev libwebp-dev libtiff-dev libgif-dev libcpp-httplib-dev zlib1g-dev
    qt6-base-dev qt6-svg-dev
    # Qt's Wayland platform, so that Vask is a Wayland client of its own under a Wayland
    # compositor (without it Qt falls back to XWayland, and fails where there is no X display).
    qt6-wayland
    # Vask's own client of the compositor's activation protocol: wayland-client and its scanner,
    # and the protocol's description (xdg-activation-v1) from wayland-protocols.
    libwayland-dev wayland-protocols
    # A Wayland compositor that runs headless (no GPU, no input devices), for the check of how
    # Vask's windows are brought forward under Wayland (scripts/wayland-activation-check.sh).
    sway
    # The detector legacy encodings are guessed with (freedesktop's uchardet: language models of
    # the code pages of some 40 languages).
    libuchardet-dev
    # The page drawer's confinement (seccomp by call name; fontconfig loaded before it), and
    # what it draws fonts that pages do not embed with: the standard 14 (URW base 35), a CJK
    # fallback, and poppler's character maps.
    libseccomp-dev libfontconfig-dev fonts-urw-base35 fonts-droid-fallback poppler-data
    # The desktop's own font, DejaVu, which Debian's desktops install; the widget tests measure
    # with it alone (tests/support/fonts.conf.in). fonts-urw-base35 above already answers
    # fontconfig's need of a font, so nothing brings DejaVu in unless it is named.
    fonts-dejavu-core
    # The helper's shell (rlm helper launch), and xdg-open, which opens the browser for a
    # sign-in and links.
    zsh xdg-utils
    # Tests, benchmarks and coverage; gnome-keyring, dbus (dbus-run-session, dbus-send) and
    # python3-dbusmock give the Secret Service and notification tests a real server on a private
    # bus; locales holds the locale sources a test compiles a comma-decimal locale from.
    googletest libgtest-dev libgmock-dev libbenchmark-dev gcovr
    gnome-keyring dbus dbus-x11 python3 python3-dbusmock locales
    # Generated sequences of keyring events and user actions, checked against a model
    # (tests/shell/credential_model_test.cpp), with RapidCheck's GoogleTest integration.
    librapidcheck-dev
    # The quit check's real login keyring: gcr's prompt on a private X display, typed into.
    gcr xvfb xdotool
    # xwd: pictures of the Xvfb screen when the demo is driven by the keyboard alone
    # (docs/testing.md, "By the keyboard alone, by hand").
    x11-apps
    # Commands of the test scripts that a minimal Debian lacks: sqlite3 (scripts/harness.sh),
    # ps and pgrep (procps; scripts/soak.sh, the quit and special-file checks), /usr/bin/time
    # (time; the special-file check's peak memory of a launch), strace (the syncs to disk that
    # scripts/first-sync-beside-sqlite.sh counts). The rest
    # (coreutils' timeout, base64 and mkfifo, util-linux's setpriv and flock, grep, sed, mawk,
    # findutils, libc-bin's localedef) is part of every Debian system.
    sqlite3 procps time strace
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
