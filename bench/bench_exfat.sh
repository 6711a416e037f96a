#!/usr/bin/env bash
# exFAT benchmark: listing and recovering with quarrow-cli against The Sleuth Kit (fls, icat)
# and cp, on exFAT images made by mkfs.exfat and written through exfat-fuse, in one run, with
# a warm page cache. The same measurements as bench_fat.sh's first two, so the figures can be
# set side by side:
#
#   1. A folder of 20,000 entries, half of them deleted (folder20k.img, 512 MiB, 4 KiB
#      clusters): `list` of the folder with and without --all, against fls of that folder.
#   2. One deleted 1 GiB file in one run of clusters (onegig.img, 1,152 MiB, default
#      clusters): `recover` against cp of the original file and icat of the deleted file.
#      Goal: at least the FAT32 figure (91% of cp's throughput), and at least 70% of cp.
#
#   bench/bench_exfat.sh
#
# The images are made in the work folder ($QUARROW_BENCH_DIR, default
# $TMPDIR/quarrow-exfat-bench) when absent; making them needs root (exfat-fuse mounts them
# through a loop device) and takes a few minutes (20,000 files through FUSE). The quarrow-cli of
# $QUARROW_BUILD_DIR (default build/) is used. Every command writes into a tmpfs folder
# (/dev/shm when writable). QUARROW_BENCH_RUNS sets the timed runs (default 10; the 1 GiB
# recoveries run half as often, at least 3); medians are reported.
#
# Needs sleuthkit, exfatprogs, exfat-fuse, python3; hyperfine when installed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-exfat-bench}
runs=${QUARROW_BENCH_RUNS:-10}
slowruns=$(( runs / 2 < 3 ? 3 : runs / 2 ))
export PATH="$PATH:/usr/sbin:/sbin"

have() { command -v "$1" >/dev/null 2>&1; }
for tool in fls icat python3 sha256sum mkfs.exfat mount.exfat-fuse losetup; do
  have "$tool" || { echo "bench_exfat.sh: $tool is needed (sleuthkit, exfatprogs, exfat-fuse, mount, python3)" >&2; exit 1; }
done
mkdir -p "$work"
cli=$build/quarrow-cli
[[ -x $cli ]] || { echo "bench_exfat.sh: build quarrow-cli in $build first" >&2; exit 1; }
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

mnt=$work/mnt
loop=
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then fusermount -u "$mnt" 2>/dev/null || umount "$mnt" || true; fi
  [[ -z $loop ]] || losetup -d "$loop" 2>/dev/null || true
  [[ -z ${out:-} ]] || rm -rf "$out"
}
trap cleanup EXIT
mount_image() { mkdir -p "$mnt"; loop=$(losetup -f --show "$1"); mount.exfat-fuse "$loop" "$mnt" 2>/dev/null; }
unmount_image() { fusermount -u "$mnt"; losetup -d "$loop"; loop=; }

f20k=$work/folder20k.img
onegig=$work/onegig.img
orig=$work/onegig-original.bin
if [[ ! -f $f20k ]]; then
  echo "making $f20k" >&2
  truncate -s 512M "$f20k.part" && mkfs.exfat -c 4K -L FOLDER20K "$f20k.part" >/dev/null
  mount_image "$f20k.part"
  python3 - "$mnt" <<'EOF'
import os, random, sys
r = random.Random(20000)
d = os.path.join(sys.argv[1], "REPORTS")
os.mkdir(d)
for i in range(1, 20001):
    with open(os.path.join(d, f"{i:05d}_report.txt"), "wb") as f:
        f.write(r.randbytes(r.randint(1, 3000)))
for i in range(1, 20001, 2):
    os.remove(os.path.join(d, f"{i:05d}_report.txt"))
EOF
  unmount_image
  mv "$f20k.part" "$f20k"
fi
if [[ ! -f $onegig ]]; then
  echo "making $onegig" >&2
  head -c $((1 << 30)) /dev/urandom > "$orig"
  truncate -s 1152M "$onegig.part" && mkfs.exfat -L ONEGIG "$onegig.part" >/dev/null
  mount_image "$onegig.part"
  cp "$orig" "$mnt/VIDEO.BIN"
  sync -f "$mnt"
  rm "$mnt/VIDEO.BIN"
  unmount_image
  mv "$onegig.part" "$onegig"
fi

if [[ -d /dev/shm && -w /dev/shm ]]; then out=/dev/shm/quarrow-exfat-bench-out.$$; else out=$work/out.$$; fi
mkdir -p "$out"
results=$out/results.tsv
: > "$results"

echo "== machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:     $(nproc) x $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "build:   $cli ($buildtype), $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "tools:   $(fls -V | head -1), $(hyperfine --version 2>/dev/null || echo 'no hyperfine')"
echo "load:    $(uptime)"
cat "$f20k" "$onegig" "$orig" > /dev/null

timeit() {
  local label=$1 n=$2 prepare=$3 cmd=$4 times=() t0 t1 i
  bash -c "$prepare" && bash -c "$cmd" > /dev/null
  for ((i = 0; i < n; ++i)); do
    bash -c "$prepare"
    t0=$(date +%s%N)
    bash -c "$cmd" > /dev/null
    t1=$(date +%s%N)
    times+=("$(( t1 - t0 ))")
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v l="$label" '{ a[NR] = $1 / 1e9 }
    END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%s\t%.4f\t%.4f\t%.4f\n", l, m, a[1], a[NR] }' >> "$results"
}

folder=REPORTS
inode=$(fls -f exfat "$f20k" | awk -F'[ \t:]+' -v n="$folder" '$1 == "d/d" && $NF == n { print $2 }')
echo "== 1. folder of 20,000 entries ($f20k, folder $folder = TSK inode $inode)"
timeit "1 quarrow list FOLDER --all --json" "$runs" "true" "$cli list $f20k $folder --all --json"
timeit "1 quarrow list FOLDER --json" "$runs" "true" "$cli list $f20k $folder --json"
timeit "1 fls INODE" "$runs" "true" "fls -f exfat $f20k $inode"
timeit "1 fls -d INODE" "$runs" "true" "fls -d -f exfat $f20k $inode"
"$cli" list "$f20k" "$folder" --all --json > "$out/q-all.json"
fls -f exfat "$f20k" "$inode" > "$out/fls-all.txt"

ginode=$(fls -d -f exfat "$onegig" | awk -F'[ \t:]+' '$1 == "r/r" && $2 == "*" { print $3; exit }')
echo "== 2. one deleted 1 GiB file ($onegig, TSK inode $ginode)"
timeit "2 cp" "$slowruns" "rm -rf $out/g && mkdir $out/g" "cp $orig $out/g/VIDEO.BIN"
timeit "2 quarrow recover" "$slowruns" "rm -rf $out/g && mkdir $out/g" "$cli recover $onegig VIDEO.BIN --to $out/g"
want=$(sha256sum < "$orig" | cut -d' ' -f1)
got=$(sha256sum < "$out/g/VIDEO.BIN" | cut -d' ' -f1)
timeit "2 icat" "$slowruns" "rm -rf $out/g && mkdir $out/g" "icat -f exfat $onegig $ginode > $out/g/VIDEO.BIN"
echo "load after: $(uptime)"

echo
echo "== timings (median, min, max in seconds)"
column -t -s $'\t' "$results"
echo
echo "== checks"
python3 - "$out" "$results" "$want" "$got" <<'EOF'
import json, sys
out, results, want, got = sys.argv[1:5]
med = {l.split("\t")[0]: float(l.split("\t")[1]) for l in open(results)}
qa = [json.loads(l) for l in open(f"{out}/q-all.json")]
names = [l.rstrip("\n").partition(":\t")[2] for l in open(f"{out}/fls-all.txt")]
print(f"1. quarrow --all lists {len(qa)} items ({sum(i['deleted'] for i in qa)} deleted); fls lists {len(names)};"
      f" same names: {set(i['name'] for i in qa) == set(names)}")
print(f"1. quarrow list --all --json / fls: {med['1 quarrow list FOLDER --all --json'] / med['1 fls INODE']:.2f}x the time")
print(f"2. quarrow recover SHA-256 {'equal' if want == got else 'DIFFERENT'}; throughput vs cp:"
      f" {med['2 cp'] / med['2 quarrow recover']:.0%} (FAT32 figure: 91%); icat: {med['2 cp'] / med['2 icat']:.0%}")
EOF
