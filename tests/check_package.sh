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
dpkg-deb -f "$deb" Version | grep -qx "$version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
# Debian's own package check: any error fails the release (warnings are shown).
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb"
elif [ "${CI:-}" = true ]; then
    echo "lintian is missing" >&2
    exit 1
fi
