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
for file in lumtrex.exe README.md LIESMICH.txt lumtrex-manual.txt; do
  echo "$contents" | grep -q "/$file\$" || { echo "missing: $file"; exit 1; }
done
