#!/bin/sh
# Builds the Debian package in the build folder and checks what it holds.
set -eu
build="$1" version="$2"
cd "$build"
rm -f lumtrex_*.deb
cpack -G DEB >/dev/null
deb=$(ls lumtrex_"$version"*_*.deb)
echo "package: $deb"
contents=$(dpkg-deb -c "$deb")
echo "$contents"
echo "$contents" | grep -q ' ./usr/bin/lumtrex$'
echo "$contents" | grep -q ' ./usr/share/man/man1/lumtrex.1.gz$'
echo "$contents" | grep -q ' ./usr/share/doc/lumtrex/copyright$'
echo "$contents" | grep -q ' ./usr/share/doc/lumtrex/changelog.gz$'
echo "$contents" | grep -q ' ./usr/lib/systemd/system/lumtrex@.service$'
echo "$contents" | grep -q ' ./usr/lib/systemd/system/lumtrex-remote@.service$'
echo "$contents" | grep -q ' ./usr/lib/sysusers.d/lumtrex.conf$'
# The user and group the units name, as systemd-sysusers makes them from the package's file.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q 'systemd-sysusers.* lumtrex.conf'
dpkg-deb -f "$deb" Version | grep -qx "$version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
# The service template as systemd reads it, on the package's files beside the
# system's own units: any complaint fails (a bad value is only a warning).
if command -v systemd-analyze >/dev/null; then
    root=$(mktemp -d)
    trap 'rm -rf "$root"' EXIT
    dpkg-deb -x "$deb" "$root"
    mkdir -p "$root/lib/systemd"
    cp -r /lib/systemd/system "$root/lib/systemd/"
    cp "$root/usr/lib/systemd/system/lumtrex@.service" "$root/usr/lib/systemd/system/lumtrex-remote@.service" "$root/lib/systemd/system/"
    if command -v systemd-sysusers >/dev/null; then
        mkdir -p "$root/etc"
        systemd-sysusers --root="$root" "$root/usr/lib/sysusers.d/lumtrex.conf"
        grep -q '^lumtrex:' "$root/etc/group" || { echo "no group lumtrex"; exit 1; }
    fi
    complaints=$(systemd-analyze verify --man=no --root="$root" lumtrex@ttyUSB0.service 'lumtrex@serial-by\x2did-usb\x2dQ.service' \
        'lumtrex-remote@lab\x2d7\x3a4001.service' 2>&1) ||  # (verify reads a plain ':' in a name as something else)
        { echo "$complaints"; exit 1; }
    [ -z "$complaints" ] || { echo "$complaints"; exit 1; }
    echo "systemd-analyze verify: clean"
elif [ "${CI:-}" = true ]; then
    echo "systemd-analyze is missing" >&2
    exit 1
fi
# Debian's own package check: any error fails the release (warnings are shown).
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb"
elif [ "${CI:-}" = true ]; then
    echo "lintian is missing" >&2
    exit 1
fi
