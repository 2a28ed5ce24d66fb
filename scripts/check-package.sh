#!/usr/bin/env bash
# Builds the Debian package, unpacks it into a temporary root with dpkg -x and checks it: the
# program, the manual where the installed program looks for it, the desktop entry, the icons and
# the AppStream metainfo are in place; lintian finds no error; appstreamcli and
# desktop-file-validate accept the metainfo and the desktop entry.
#
# Usage: scripts/check-package.sh [build folder]     (default: build/default)
# Exit status 77 when a checking tool is missing (the test suite counts that as skipped).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")

for tool in cpack dpkg lintian appstreamcli; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is missing (scripts/setup-deps.sh installs it)" >&2
        exit 77
    fi
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset default
fi
cmake --build "$build" --target KelvoDrive kelvo_help kelvo_package_changelog kelvo_manual_page >/dev/null

# A folder of its own, so that a package check never meets another one's files.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(find "$work/out" -maxdepth 1 -name 'kelvodrive_*.deb' -print -quit)
if [ -z "$deb" ]; then
    echo "FAIL: cpack made no kelvodrive package" >&2
    exit 1
fi
echo "package: $(basename "$deb")"

root="$work/root"
dpkg -x "$deb" "$root"
failures=0
expect_file() {
    if [ -f "$root/$1" ]; then
        echo "ok: /$1"
    else
        echo "FAIL: /$1 is missing" >&2
        failures=$((failures + 1))
    fi
}
expect_file usr/bin/KelvoDrive
expect_file usr/share/kelvodrive/Help/KelvoDrive.html
expect_file usr/share/applications/KelvoDrive.desktop
expect_file usr/share/metainfo/example.ostrel.KelvoDrive.metainfo.xml
expect_file usr/share/icons/hicolor/scalable/apps/KelvoDrive.svg
for size in 16 32 48 64 72 96 128 256; do
    expect_file "usr/share/icons/hicolor/${size}x${size}/apps/KelvoDrive.png"
done
expect_file usr/share/doc/kelvodrive/copyright
expect_file usr/share/doc/kelvodrive/changelog.gz
expect_file usr/share/man/man1/KelvoDrive.1.gz

# The installed program finds the manual from its own folder: bin/../share/kelvodrive/Help.
if [ ! -f "$root/usr/bin/../share/kelvodrive/Help/KelvoDrive.html" ]; then
    echo "FAIL: the manual is not where the installed program looks for it" >&2
    failures=$((failures + 1))
fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libqt5widgets5 libfuse3-3 libc6; do
    if [[ "$depends" != *"$library"* ]]; then
        echo "FAIL: Depends lacks $library (dpkg-shlibdeps did not run?)" >&2
        failures=$((failures + 1))
    fi
done

if ! appstreamcli validate --no-net \
        "$root/usr/share/metainfo/example.ostrel.KelvoDrive.metainfo.xml"; then
    echo "FAIL: appstreamcli does not accept the metainfo" >&2
    failures=$((failures + 1))
fi
if command -v desktop-file-validate >/dev/null 2>&1 &&
        ! desktop-file-validate "$root/usr/share/applications/KelvoDrive.desktop"; then
    echo "FAIL: desktop-file-validate does not accept the desktop entry" >&2
    failures=$((failures + 1))
fi
# Warnings and notes are shown; only errors fail the check.
if ! lintian --fail-on error --tag-display-limit 0 "$deb"; then
    echo "FAIL: lintian reports errors" >&2
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "package checks passed"
