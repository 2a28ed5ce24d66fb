#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, run and test; quick when they are all
# there already. Works as root, or as a user who may use sudo.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config ccache
    # libraries
    qtbase5-dev qtbase5-dev-tools qttranslations5-l10n
    libboost-dev libboost-date-time-dev libboost-stacktrace-dev
    libsqlite3-dev libspdlog-dev libfmt-dev
    fuse3 libfuse3-dev
    libpq-dev qtkeychain-qt5-dev
    # icon generation at build time
    librsvg2-bin icoutils
    # tests
    libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth fonts-dejavu-core
    postgresql dbus-x11 gnome-keyring python3
    # programs the drive tests run on a real mount
    git rsync
    # the package and its checks
    dpkg-dev file lintian appstream desktop-file-utils
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "Missing packages need root: run this script as root, or install sudo first." >&2
        exit 1
    fi
    as_root=(sudo)
fi
# Through env, because sudo drops the caller's environment: without it, packages that ask
# questions (tzdata, keyboard settings) would stop and wait for an answer.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
