#!/bin/sh
# The manual page must render without a single groff warning, and name every
# option the program's table has (its --help) in its SYNOPSIS, and each but
# --help and --version in OPTIONS too.
set -eu
manual="$1" program="$2"
warnings=$(groff -man -ww -z "$manual" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
options=$("$program" --help | sed -n '/^  --help/d; s/^  \(--[a-z-]*\).*/\1/p')
[ -n "$options" ] || { echo "no options in --help"; exit 1; }
section() { sed 's/\\-/-/g' "$manual" | sed -n "/^\.SH $1/,/^\.SH /p"; }
for option in $options --help --version; do
  section SYNOPSIS | grep -q -- "$option\b" || { echo "SYNOPSIS lacks $option"; exit 1; }
done
for option in $options; do
  section OPTIONS | grep -q -- "^\.[BIR]* *$option\b" || { echo "OPTIONS lacks $option"; exit 1; }
done
