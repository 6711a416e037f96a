#!/usr/bin/env bash
# Makes the image of the GUI list benchmark (bench/bench_gui_list.sh) in a work folder, only
# when it is absent:
#
#   bench/make_ntfs_flat_image.sh [WORKDIR]
#
# WORKDIR defaults to $QUARROW_BENCH_DIR, else $TMPDIR/quarrow-gui-bench. Needs root (for the
# FUSE mount), mkntfs and ntfs-3g, and python3. It makes ntfs-flat.img: a 1 GiB NTFS volume
# whose folder "Big" holds 200,000 files with names of mixed case and length, sizes from 0
# to 3,000 bytes and times spread over ten years; when all are written, every seventh file
# is deleted, so the folder lists existing and deleted items (200,000 items in all: NTFS
# keeps a deleted file's record while nothing reuses it). About a minute here.
set -euo pipefail

work=${1:-${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-gui-bench}}
mkdir -p "$work"
cd "$work"
image=ntfs-flat.img
[[ -f $image ]] && exit 0

for tool in mkntfs ntfs-3g python3 mountpoint; do
  command -v "$tool" >/dev/null || { echo "make_ntfs_flat_image.sh: $tool is needed (apt-get install -y ntfs-3g python3)" >&2; exit 1; }
done
[[ $(id -u) -eq 0 ]] || { echo "make_ntfs_flat_image.sh: the ntfs-3g mount needs root" >&2; exit 1; }

part=$image.part
mnt=$work/mnt.$$
fusepid=
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; fi
  [[ -n $fusepid ]] && wait "$fusepid" 2>/dev/null || true
  rmdir "$mnt" 2>/dev/null || true
  rm -f "$part"
}
trap cleanup EXIT INT TERM

rm -f "$part"
truncate -s 1G "$part"
mkntfs -F -q -f -s 512 -c 4096 -L QFLAT "$part" >/dev/null
mkdir -p "$mnt"
ntfs-3g -o big_writes "$part" "$mnt" &
fusepid=$!
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "make_ntfs_flat_image.sh: the mount did not come up" >&2; exit 1; }
wait "$fusepid" 2>/dev/null || true  # ntfs-3g forks into the background
fusepid=

python3 - "$mnt" <<'PY'
import os, random, sys
root = os.path.join(sys.argv[1], "Big")
os.mkdir(root)
rng = random.Random(7)
words = ["report", "Photo", "IMG", "notes", "Budget", "scan", "letter", "Draft", "invoice", "track"]
exts = ["txt", "jpg", "doc", "pdf", "png", "xls", "mp3", "dat", "zip", "htm"]
base = 1262304000  # 2010-01-01
doomed = []
for i in range(200000):
    name = "%s %06d %s.%s" % (rng.choice(words), i, "x" * rng.randrange(0, 12), rng.choice(exts))
    path = os.path.join(root, name)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    size = rng.randrange(0, 3000)
    if size:
        os.write(fd, bytes([i & 0xFF]) * size)
    os.close(fd)
    t = base + rng.randrange(0, 10 * 365 * 86400)
    os.utime(path, (t, t))
    if i % 7 == 6:
        doomed.append(path)
# Deleted after everything was written, so no deleted file's record is reused.
for path in doomed:
    os.unlink(path)
PY
sync
fusermount3 -u "$mnt" 2>/dev/null || umount "$mnt"
mv "$part" "$image"
echo "made $work/$image" >&2
