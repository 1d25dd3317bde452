#!/bin/sh
# Builds the Windows zip in the Windows build folder and checks what it holds.
set -eu
build="$1" version="$2"
cd "$build"
rm -f lumtrex-*.zip
cpack -G ZIP >/dev/null
zip=$(ls lumtrex-"$version"-windows-x86_64.zip)
contents=$(cmake -E tar tf "$zip")
echo "$zip:"; echo "$contents"
for file in lumtrex.exe README.md LIESMICH.txt HANDBUCH.txt lumtrex-manual.txt; do
  echo "$contents" | grep -q "/$file\$" || { echo "missing: $file"; exit 1; }
done
# The texts read in Notepad: CRLF line ends, and the manual with no word
# broken across two lines (an option's name cut at its hyphen).
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && cmake -E tar xf "$OLDPWD/$zip")
for text in LIESMICH.txt HANDBUCH.txt lumtrex-manual.txt; do
  file=$(find "$tmp" -name "$text")
  if grep -q -v "$(printf '\r')\$" "$file"; then echo "$text: a line without CR LF"; exit 1; fi
done
manual=$(find "$tmp" -name lumtrex-manual.txt) handbuch=$(find "$tmp" -name HANDBUCH.txt)
if grep -n "[a-z]-$(printf '\r')\$" "$manual"; then echo "lumtrex-manual.txt: a word broken across lines"; exit 1; fi
# The German manual names every option the manual's OPTIONS has (checked against the table).
for option in $(tr -d '\r' < "$manual" | sed -n '/^OPTIONS/,/^[A-Z]/s/^       \(--[a-z][a-z-]*\).*/\1/p' | sort -u); do
  grep -q -- "$option" "$handbuch" || { echo "HANDBUCH.txt lacks $option"; exit 1; }
done
