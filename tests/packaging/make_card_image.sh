#!/usr/bin/env bash
# Makes a small FAT volume image with mkfs.fat and mtools: KEEP.TXT (5 bytes) kept, and
# GONE.TXT (14 bytes) written and deleted.
#
#   make_card_image.sh IMAGE
set -euo pipefail
img=$1
export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -f "$img"
truncate -s 2M "$img"
mkfs.fat -i 1234ABCD "$img" >/dev/null
printf 'kept\n' >"$work/keep.txt"
printf 'deleted later\n' >"$work/gone.txt"
mcopy -i "$img" "$work/keep.txt" "$work/gone.txt" ::/
mdel -i "$img" ::/gone.txt
