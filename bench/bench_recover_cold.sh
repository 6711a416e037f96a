#!/usr/bin/env bash
# Recovering from an image that is not in the page cache: `recover IMG / --deleted-only --to DIR`
# on the FAT tree image and the NTFS image of the FAT and NTFS benchmarks, and on their E01
# copies and the NTFS image's QCOW2 copy when bench/bench_containers.sh has made them, each run
# right after the image's pages were dropped from the kernel's page cache.
#
#   bench/bench_recover_cold.sh
#
# The pages are dropped with posix_fadvise(POSIX_FADV_DONTNEED) on the image file alone, so
# the rest of the machine keeps its cache and no root is needed. The destination is a folder
# in /dev/shm (memory), so the figures are the reading side's. Prints the median wall time
# and the mean CPU time (user + system) of QUARROW_BENCH_RUNS runs (default 5).
#
# Images: $TMPDIR/quarrow-fat-bench/tree.img (bench/make_fat_bench_images.sh),
# $TMPDIR/quarrow-ntfs-bench/ntfs-tree.img (bench/make_ntfs_bench_image.sh), and
# $QUARROW_BENCH_DIR (default $TMPDIR/quarrow-container-bench)/tree.E01, ntfs-tree.E01 and
# ntfs-tree.qcow2.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
tmp=${TMPDIR:-/tmp}
containers=${QUARROW_BENCH_DIR:-$tmp/quarrow-container-bench}
runs=${QUARROW_BENCH_RUNS:-5}
cli=$build/quarrow-cli
[[ -x /usr/bin/time ]] || { echo "bench_recover_cold.sh: /usr/bin/time is needed (apt-get install -y time)" >&2; exit 1; }
ninja -C "$build" quarrow-cli >/dev/null

images=()
for image in "$tmp/quarrow-fat-bench/tree.img" "$tmp/quarrow-ntfs-bench/ntfs-tree.img" \
  "$containers/tree.E01" "$containers/ntfs-tree.E01" "$containers/ntfs-tree.qcow2"; do
  [[ -f $image ]] && images+=("$image")
done
[[ ${#images[@]} -gt 0 ]] || { echo "bench_recover_cold.sh: no image; run the FAT and NTFS benchmarks first" >&2; exit 1; }

if [[ -d /dev/shm && -w /dev/shm ]]; then
  out=$(mktemp -d /dev/shm/quarrow-cold-out.XXXXXX)
else
  out=$(mktemp -d "$tmp/quarrow-cold-out.XXXXXX")
fi
trap 'rm -rf "$out"' EXIT

# Drops the pages of the file (an E01's segments are all dropped: NAME.E01, NAME.E02, ...).
drop() {
  local f
  for f in "${1%.*}".*; do
    /usr/bin/python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$f"
  done
}

printf 'image\tmedian wall s\tmean CPU s\n'
for image in "${images[@]}"; do
  walls=() cpus=()
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out/to" && mkdir "$out/to"
    drop "$image"
    /usr/bin/time -f '%e %U %S' -o "$out/time" "$cli" recover "$image" / --deleted-only --to "$out/to" >/dev/null 2>&1 || true
    read -r wall user sys <"$out/time"
    walls+=("$wall")
    cpus+=("$(echo "$user + $sys" | bc -l)")
  done
  median=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(( (runs + 1) / 2 ))p")
  cpu=$(printf '%s\n' "${cpus[@]}" | awk '{ s += $1 } END { printf "%.3f", s / NR }')
  printf '%s\t%s\t%s\n' "$(basename "$image")" "$median" "$cpu"
done
