#!/usr/bin/env bash
# Builds the Debian package and installs it with apt, which brings the libraries it depends on:
# afterwards KelvoDrive is in the desktop's application menu and `KelvoDrive` starts it.
# Works as root, or as a user who may use sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake --preset default
cmake --build --preset default --target KelvoDrive kelvo_help kelvo_package_changelog \
    kelvo_manual_page
(cd build/default && cpack -G DEB)
package=$(ls -t build/default/kelvodrive_*.deb | head -n 1)
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "./$package"
