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
echo "$contents" | grep -q ' ./usr/share/man/man1/lumtrex.1$'
dpkg-deb -f "$deb" Version | grep -qx "$version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6'
