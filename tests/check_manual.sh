#!/bin/sh
# The manual page must render without a single groff warning.
set -eu
warnings=$(groff -man -ww -z "$1" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
