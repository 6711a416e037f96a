#!/usr/bin/env bash
# Containers against raw images: the same commands on a raw image and on its EWF (E01) and
# QCOW2 copies, with a warm page cache.
#
#   bench/bench_containers.sh
#
# Images: the FAT tree image of bench/make_fat_bench_images.sh (tree.img), the NTFS image of
# bench/make_ntfs_bench_image.sh (ntfs-tree.img) and the 1 GiB deep-scan image of
# bench/make_deepscan_image.py (deepscan-1g.img), taken from their work folders
# ($TMPDIR/quarrow-fat-bench, -ntfs-bench, -deepscan-bench; run those benchmarks first to
# make them). Each is packed with `ewfacquire -c deflate:fast` (E01, the compression
# forensic tools use by default) and `qemu-img convert -O qcow2` into $QUARROW_BENCH_DIR
# (default $TMPDIR/quarrow-container-bench), once.
#
# Commands, each timed on raw, E01 and QCOW2: `list IMG --recursive --all --json` and
# `recover IMG / --deleted-only --to DIR` on the FAT and NTFS images; `deepscan IMG --disk
# --json` (default types) on the deep-scan image. Goals: listing and recovering within 1.5x of
# the raw image's time, the deep scan within 2x. Prints the median wall time and the mean CPU
# time (user + system) of QUARROW_BENCH_RUNS runs (default 5).
#
# Needs ewf-tools, qemu-utils and GNU time (apt-get install -y ewf-tools qemu-utils time).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
tmp=${TMPDIR:-/tmp}
work=${QUARROW_BENCH_DIR:-$tmp/quarrow-container-bench}
runs=${QUARROW_BENCH_RUNS:-5}
cli=$build/quarrow-cli
[[ -x /usr/bin/time ]] || { echo "bench_containers.sh: /usr/bin/time is needed (apt-get install -y time)" >&2; exit 1; }
for tool in ewfacquire qemu-img; do
  command -v "$tool" >/dev/null || { echo "bench_containers.sh: $tool is needed" >&2; exit 1; }
done
ninja -C "$build" quarrow-cli >/dev/null

fat=$tmp/quarrow-fat-bench/tree.img
ntfs=$tmp/quarrow-ntfs-bench/ntfs-tree.img
deep=$tmp/quarrow-deepscan-bench/deepscan-1g.img
for image in "$fat" "$ntfs" "$deep"; do
  [[ -f $image ]] || { echo "bench_containers.sh: $image is missing; run the FAT, NTFS and deep-scan benchmarks first" >&2; exit 1; }
done
mkdir -p "$work"
for image in "$fat" "$ntfs" "$deep"; do
  name=$(basename "$image" .img)
  [[ -f $work/$name.E01 ]] || ewfacquire -u -q -t "$work/$name" -c deflate:fast -S 4GiB -C - -D - -E - -e - -N - "$image" >/dev/null
  [[ -f $work/$name.qcow2 ]] || qemu-img convert -q -f raw -O qcow2 "$image" "$work/$name.qcow2"
done

if [[ -d /dev/shm && -w /dev/shm ]]; then
  out=$(mktemp -d /dev/shm/quarrow-container-out.XXXXXX)
else
  out=$(mktemp -d "$tmp/quarrow-container-out.XXXXXX")
fi
trap 'rm -rf "$out"' EXIT

# measure LABEL COMMAND...: median wall and mean CPU seconds over $runs runs; a recovery's
# folder is emptied before each run.
measure() {
  local label=$1
  shift
  local walls=() cpus=()
  for ((i = 0; i < runs; i++)); do
    rm -rf "$out/to" && mkdir "$out/to"
    /usr/bin/time -f '%e %U %S' -o "$out/time" "$@" >/dev/null 2>&1 || true
    read -r wall user sys <"$out/time"
    walls+=("$wall")
    cpus+=("$(echo "$user + $sys" | bc -l)")
  done
  local median cpu
  median=$(printf '%s\n' "${walls[@]}" | sort -g | sed -n "$(( (runs + 1) / 2 ))p")
  cpu=$(printf '%s\n' "${cpus[@]}" | awk '{ s += $1 } END { printf "%.3f", s / NR }')
  printf '%s\t%s\t%s\n' "$label" "$median" "$cpu"
}

printf 'command\tmedian wall s\tmean CPU s\n'
for image in "$fat" "$ntfs"; do
  name=$(basename "$image" .img)
  for kind in raw E01 qcow2; do
    source=$image
    [[ $kind == raw ]] || source=$work/$name.$kind
    measure "list $name ($kind)" "$cli" list "$source" --recursive --all --json
    measure "recover $name ($kind)" "$cli" recover "$source" / --deleted-only --to "$out/to"
  done
done
for kind in raw E01 qcow2; do
  source=$deep
  [[ $kind == raw ]] || source=$work/deepscan-1g.$kind
  measure "deepscan deepscan-1g ($kind)" "$cli" deepscan "$source" --disk --json
done
