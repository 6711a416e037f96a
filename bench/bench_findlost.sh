#!/usr/bin/env bash
# Lost-volume search benchmark: `quarrow-cli findlost` against `cat` and TestDisk's
# analysis, on a 4 GiB disk image whose partition table was wiped, in one run with a warm
# page cache.
#
# The image (made once in the work folder, $QUARROW_BENCH_DIR, default
# $TMPDIR/quarrow-findlost-bench) is a 4 GiB MBR disk laid out by sfdisk with
#
#   sectors 2048 .. 2099199     NTFS, 1 GiB (mkntfs on a file of its own, -p 2048, then
#                               written in with dd), label LOSTNTFS, 12 files added by ntfscp
#   sectors 2099200 .. 4196351  FAT32, 1 GiB (mkfs.fat --offset straight into the image),
#                               label LOSTFAT32, 12 files added by mcopy
#   sectors 4196352 .. end      unpartitioned (2 GiB less 1 MiB of zeros)
#
# after which sector 0 (the table) is zeroed. The file is sparse where nothing was
# written; once read, holes sit in the page cache like any other page.
#
# Timed, each after one warm-up run (hyperfine's median of $QUARROW_BENCH_RUNS, default 5):
#   cat IMAGE > /dev/null
#   quarrow-cli findlost IMAGE --json                   the whole disk
#   quarrow-cli findlost IMAGE --first F --last L --json  the unpartitioned 2 GiB alone, so
#                                                         every sector of the range is read
#   testdisk /log /cmd IMAGE analyze                    TestDisk's Quick Search
#   testdisk /log /cmd IMAGE analyze,search             Quick Search, then Deeper Search
# Goal: findlost reads at least 70% of cat's throughput. Throughput is over the bytes each
# command actually reads (the sum of its read and pread64 results, counted once with strace
# outside the timings): findlost skips the sectors of each volume it finds, and TestDisk
# reads only the places where its searches look for boot sectors.
#
# Checks, printed after the timings: the volumes each tool found, at which sector (TestDisk
# by label and size, from its log).
#
#   bench/bench_findlost.sh
#
# The quarrow-cli of $QUARROW_BUILD_DIR (default build/) is used, built there first
# (Release) when that folder has no build yet. Installs nothing; needs sfdisk (fdisk),
# mkfs.fat (dosfstools), mtools, mkntfs and ntfscp (ntfs-3g), testdisk, hyperfine,
# strace, python3:
#
#   apt-get install -y fdisk dosfstools mtools ntfs-3g testdisk hyperfine strace python3
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-findlost-bench}
runs=${QUARROW_BENCH_RUNS:-5}
export PATH=$PATH:/usr/sbin:/sbin

have() { command -v "$1" >/dev/null 2>&1; }
for tool in sfdisk mkfs.fat mcopy mkntfs ntfscp testdisk hyperfine strace python3; do
  have "$tool" || { echo "bench_findlost.sh: $tool is needed (apt-get install -y fdisk dosfstools mtools ntfs-3g testdisk hyperfine strace python3)" >&2; exit 1; }
done

# --- quarrow-cli -------------------------------------------------------------------------------
if [[ -f "$build/build.ninja" ]]; then
  ninja -C "$build" quarrow-cli >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_GUI=OFF \
    -DQUARROW_BUILD_TESTS=OFF >/dev/null
  ninja -C "$build" quarrow-cli >/dev/null
fi
cli=$build/quarrow-cli
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

# --- the image ---------------------------------------------------------------------------------
readonly ntfs_start=2048 ntfs_sectors=2097152
readonly fat_start=$((ntfs_start + ntfs_sectors)) fat_sectors=2097152
readonly free_start=$((fat_start + fat_sectors))
readonly disk_bytes=$((4 << 30)) disk_sectors=$(((4 << 30) / 512))
mkdir -p "$work"
img=$work/lost.img

make_image() {
  local tmp=$work/make.$$ part=$work/ntfs.part
  rm -rf "$tmp" && mkdir -p "$tmp"
  rm -f "$img.new" "$part"
  truncate -s "$disk_bytes" "$img.new"
  printf 'label: dos\nstart=%d, size=%d, type=7\nstart=%d, size=%d, type=c\n' \
    "$ntfs_start" "$ntfs_sectors" "$fat_start" "$fat_sectors" | sfdisk -q "$img.new" >/dev/null
  # Files of fixed content: 2 KiB to 2 MiB.
  python3 - "$tmp" <<'EOF'
import random, sys
r = random.Random(20261210)
for i in range(12):
    size = 2048 << (i % 11)
    open(f"{sys.argv[1]}/file{i:02d}.bin", "wb").write(r.randbytes(size))
EOF
  truncate -s $((ntfs_sectors * 512)) "$part"
  mkntfs -F -Q -q -L LOSTNTFS -s 512 -c 4096 -p "$ntfs_start" -H 255 -S 63 "$part" >/dev/null 2>&1
  for f in "$tmp"/*.bin; do ntfscp "$part" "$f" "$(basename "$f")" >/dev/null; done
  dd if="$part" of="$img.new" bs=1M seek=$((ntfs_start * 512 / 1048576)) conv=notrunc,sparse status=none
  rm -f "$part"
  # (mkfs.fat warns that the file holds more blocks than the count given: intended.)
  mkfs.fat -F 32 -n LOSTFAT32 --offset "$fat_start" -h "$fat_start" "$img.new" $((fat_sectors / 2)) 2>&1 |
    grep -v -e '^mkfs.fat' -e 'block count mismatch' >&2 || true
  MTOOLS_SKIP_CHECK=1 mcopy -i "$img.new@@$((fat_start * 512))" "$tmp"/*.bin ::/
  # The partition table is lost.
  dd if=/dev/zero of="$img.new" bs=512 count=1 conv=notrunc status=none
  rm -rf "$tmp"
  mv "$img.new" "$img"
}
[[ -f "$img" && $(stat -c %s "$img") -eq $disk_bytes ]] || make_image

# --- timings -----------------------------------------------------------------------------------
out=$work/out.$$
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
cat "$img" >/dev/null  # warm the page cache

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$out/cat.json" \
  "cat $img > /dev/null" >/dev/null
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$out/findlost.json" \
  "$cli findlost $img --json > /dev/null 2>&1" >/dev/null
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$out/range.json" \
  "$cli findlost $img --first $free_start --last $disk_sectors --json > /dev/null 2>&1" >/dev/null
(cd "$out" && hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$out/td-quick.json" \
  "testdisk /log /cmd $img analyze > /dev/null 2>&1" >/dev/null)
(cd "$out" && hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$out/td-deep.json" \
  "testdisk /log /cmd $img analyze,search > /dev/null 2>&1" >/dev/null)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- what each found ---------------------------------------------------------------------------
"$cli" findlost "$img" --json > "$out/findlost.jsonl" 2>"$out/findlost.err"
(cd "$out" && rm -f testdisk.log && testdisk /log /cmd "$img" analyze >/dev/null 2>&1 && mv testdisk.log td-quick.log)
(cd "$out" && rm -f testdisk.log && testdisk /log /cmd "$img" analyze,search >/dev/null 2>&1 && mv testdisk.log td-deep.log)

# Bytes each command reads, counted once outside the timings: the sum of what read and
# pread64 returned, as strace records it.
read_bytes() {
  local name=$1; shift
  (cd "$out" && strace -f -qq -e trace=read,pread64 -e signal=none -o "$out/$name.strace" "$@" >/dev/null 2>&1)
  awk '/= [0-9]+$/ { n += $NF } END { printf "%.0f\n", n }' "$out/$name.strace"
}
bytes_cat=$(read_bytes cat cat "$img")
bytes_all=$(read_bytes all "$cli" findlost "$img" --json)
bytes_range=$(read_bytes range "$cli" findlost "$img" --first "$free_start" --last "$disk_sectors" --json)
bytes_tq=$(read_bytes tdq testdisk /log /cmd "$img" analyze)
bytes_td=$(read_bytes tdd testdisk /log /cmd "$img" analyze,search)

python3 - "$out" "$ntfs_start" "$fat_start" "$disk_sectors" "$buildtype" "$load_before" "$load_after" \
  "$bytes_cat" "$bytes_all" "$bytes_range" "$bytes_tq" "$bytes_td" "$free_start" <<'EOF'
import json, re, statistics, sys
out = sys.argv[1]
ntfs_start, fat_start, disk_sectors = map(int, sys.argv[2:5])
buildtype, load_before, load_after = sys.argv[5:8]
b_cat, b_all, b_range, b_tq, b_td, free_start = map(int, sys.argv[8:14])
def median(name):
    return statistics.median(json.load(open(f"{out}/{name}.json"))["results"][0]["times"])
gib = 1 << 30
t_cat = median("cat")
cat_tp = b_cat / t_cat
print(f"build type {buildtype}; load average {load_before} before, {load_after} after")
print()
print("| command | median | bytes read | throughput over bytes read | vs cat |")
print("|---|---|---|---|---|")
def row(cmd, name, n, goal=True):
    t = median(name)
    tp = n / t
    share = f"**{100 * tp / cat_tp:.0f}%**" if goal else f"{100 * tp / cat_tp:.0f}%"
    print(f"| `{cmd}` | {t:.3f} s | {n / gib:.3f} GiB | {tp / gib:.2f} GiB/s | {share} |")
row("cat IMG > /dev/null", "cat", b_cat, False)
row("quarrow-cli findlost IMG --json", "findlost", b_all)
row(f"quarrow-cli findlost IMG --first {free_start} --last {disk_sectors} --json", "range", b_range)
row("testdisk /log /cmd IMG analyze", "td-quick", b_tq, False)
row("testdisk /log /cmd IMG analyze,search", "td-deep", b_td, False)
print()
found = [json.loads(l) for l in open(f"{out}/findlost.jsonl") if l.strip()]
print("findlost found:")
for v in found:
    print(f"  {v['fs']:6} at sector {v['sector']:>8}  {v['size_bytes']} bytes")
expect = {("NTFS", ntfs_start), ("FAT32", fat_start)}
got = {(v["fs"], v["sector"]) for v in found}
print("  both volumes:", "yes" if expect <= got else f"NO (missing {sorted(expect - got)})")
for name in ("td-quick", "td-deep"):
    log = open(f"{out}/{name}.log", errors="replace").read()
    rows = re.findall(r"^\s+(FAT32|HPFS - NTFS)\s.*?(\d+) \[([^\]]*)\]\s*$", log, re.M)
    print(f"testdisk {'analyze' if name == 'td-quick' else 'analyze,search'} found (type, sectors, label):")
    for r in sorted(set(rows)):
        print(f"  {r}")
    labels = {r[2] for r in rows}
    print("  both volumes:", "yes" if {"LOSTNTFS", "LOSTFAT32"} <= labels else f"NO (labels {sorted(labels)})")
EOF
