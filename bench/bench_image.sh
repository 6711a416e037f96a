#!/usr/bin/env bash
# Imaging a failing disk: `quarrow-cli image` against GNU ddrescue on the same faulty file,
# and a deep scan of that file against a deep scan of the same bytes without bad sectors.
#
# The faulty file is tests/faultyfs (FUSE) over a 256 MiB image of random bytes, made once
# in the work folder ($QUARROW_BENCH_DIR, default $TMPDIR/quarrow-image-bench), with
#
#   1,000 bad sectors    8 areas of 100 sectors and 200 single sectors spread over the disk;
#                        every read that touches one fails with EIO after $QUARROW_BAD_MS
#                        milliseconds (default 10: a real drive takes seconds, which only
#                        scales the times below)
#   20 flaky sectors     each fails its first two reads, then reads well
#
# Each run mounts the file afresh (so flaky sectors start over) and logs every read. Timed:
#   quarrow-cli image DISK q.img --map q.map          (one retry pass, its default)
#   ddrescue -r1 DISK d.img d.map                     (one retry pass, as the same)
#   quarrow-cli deepscan DISK --disk --types all      over the faulty file
#   ... the same with --skip-after 0 (no search past bad areas) and with --retries 0
#   quarrow-cli deepscan DISK --disk --types all      the same file without rules: no bad sectors
# Printed: time, bytes rescued and bad (ddrescuelog -t of each map), reads and failed reads
# the file saw, and whether both maps list the same bad sectors.
#
#   bench/bench_image.sh
#
# Needs a built tree ($QUARROW_BUILD_DIR, default build/: quarrow-cli and tests/faultyfs),
# ddrescue and ddrescuelog (gddrescue), fusermount3 (fuse3), python3.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUARROW_BUILD_DIR:-$root/build}"
cli="$build/quarrow-cli"
ffs="$build/tests/faultyfs"
work="${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-image-bench}"
bad_ms="${QUARROW_BAD_MS:-10}"
for t in "$cli" "$ffs"; do [ -x "$t" ] || { echo "missing $t: build first" >&2; exit 2; }; done
for t in ddrescue ddrescuelog fusermount3 python3; do command -v "$t" >/dev/null || { echo "missing $t" >&2; exit 2; }; done
mkdir -p "$work"
cd "$work"
[ -f source.img ] || head -c $((256 << 20)) /dev/urandom > source.img

# The rules: the same every run (a fixed seed).
python3 - "$bad_ms" > rules.conf <<'EOF'
import random, sys
ms = int(sys.argv[1])
rng = random.Random(7)
sectors = (256 << 20) // 512
bad = set()
for k in range(8):
    first = (k * 2 + 1) * sectors // 17
    bad.update(range(first, first + 100))
while len(bad) < 1000:
    bad.add(rng.randrange(sectors))
for s in sorted(bad):
    print(f"bad {s} 1\nslow {s} 1 {ms}")
for k in range(20):
    print(f"flaky {rng.randrange(sectors)} 1 2")
EOF

mount_faulty() {  # mount_faulty RULES
  mkdir -p mnt
  cp "$1" run.conf
  echo "log $work/reads.log" >> run.conf
  rm -f reads.log
  "$ffs" source.img run.conf mnt > faultyfs.log 2>&1 &
  for _ in $(seq 100); do [ -f mnt/disk.img ] && break; sleep 0.05; done
}
unmount_faulty() { fusermount3 -u mnt; wait || true; }
trap 'fusermount3 -u "$work/mnt" 2>/dev/null || true' EXIT
now() { date +%s.%N; }
reads() { awk '{n++; if ($3 != 0) f++} END {printf "%d reads, %d failed", n, f}' reads.log; }

printf '%-44s %8s  %s\n' "run" "seconds" "what"
run() {  # run LABEL RULES COMMAND...
  local label="$1" rules="$2"; shift 2
  mount_faulty "$rules"
  local t0 t1
  t0=$(now)
  "$@" > run.out 2> run.err || true
  t1=$(now)
  local r; r=$(reads)
  unmount_faulty
  printf '%-44s %8.2f  %s\n' "$label" "$(echo "$t1 - $t0" | bc -l)" "$r"
}

rm -f q.img q.map d.img d.map
run "quarrow-cli image (retries 1)" rules.conf "$cli" image mnt/disk.img q.img --map q.map
run "ddrescue -r1" rules.conf ddrescue -r1 mnt/disk.img d.img d.map
: > none.conf
run "quarrow-cli deepscan, 1,000 bad sectors" rules.conf "$cli" deepscan mnt/disk.img --disk --types all
run "quarrow-cli deepscan, bad, --skip-after 0" rules.conf "$cli" deepscan mnt/disk.img --disk --types all --skip-after 0
run "quarrow-cli deepscan, bad, --retries 0" rules.conf "$cli" deepscan mnt/disk.img --disk --types all --retries 0
run "quarrow-cli deepscan, no bad sectors" none.conf "$cli" deepscan mnt/disk.img --disk --types all

echo
for m in q.map d.map; do
  echo "== $m"
  ddrescuelog -t "$m" | grep -E "rescued|bad-sector|non-"
done
ddrescuelog --list-blocks=- q.map > q.bad
ddrescuelog --list-blocks=- d.map > d.bad
if cmp -s q.bad d.bad; then echo "both maps list the same $(wc -l < q.bad) bad sectors"
else echo "the maps differ: quarrow $(wc -l < q.bad), ddrescue $(wc -l < d.bad) bad sectors"; fi
cmp -s q.img d.img && echo "the two images are identical" || echo "the two images differ"
