#!/usr/bin/env bash
# Makes the image of the NTFS benchmark (bench/bench_ntfs.sh) in a work folder, only when it
# is absent:
#
#   bench/make_ntfs_bench_image.sh [WORKDIR]
#
# WORKDIR defaults to $QUARROW_BENCH_DIR, else $TMPDIR/quarrow-ntfs-bench (/tmp when TMPDIR
# is unset). Needs root (for the FUSE mount), mkntfs and ntfs-3g (package ntfs-3g) and
# python3. What it makes:
#
#   ntfs-tree.img       3 GiB NTFS (4 KiB clusters, 1 KiB records), written through an
#                       ntfs-3g mount; a sparse file, about 1.4 GB on disk.
#                         - "Flat" with 10,000 files;
#                         - 16 top folders ("Top 00" ... "Top 15", two with non-ASCII
#                           names), 12 subfolders each ("Sub 00" ... "Sub 11"), each
#                           subfolder 1,200 files and one folder "deeper" below it with
#                           100 more: 249,600 files in 400 folders;
#                         - "few" with 3 files and "empty" with none.
#                       The root holds only these 19 folders: every folder's path is
#                       walked from the root, so a big root would be loaded on the way to
#                       any folder, and the cost of listing a folder would hide behind it.
#                       259,603 files in all, of mixed sizes (45% up to 700 bytes, which
#                       NTFS keeps inside the MFT record; 53% 700 bytes to 4 KB; 1.8%
#                       4-64 KiB; 0.2% 64 KiB-1 MiB; about 0.8 GB in all). Then every fifth
#                       file outside "few" is deleted with rm, and two whole subfolders
#                       (with their "deeper" folders) with rm -r: 54,000 deleted
#                       files. Nothing is written after the deletions, so every deleted
#                       file's record and clusters stay as they were.
#   ntfs-manifest.tsv   one line per file: path from the root, size, SHA-256, and 1 when
#                       it was deleted (0 otherwise).
#
# File names are unique across the volume (f000001.dat, ...), so that files recovered into
# one folder and files recovered with their paths can be matched by name. The contents come
# from fixed seeds, so they are the same each time.
#
# Speed of making: every file is created with one os.open/os.write/os.close from one
# python3 process through the mount (about 4,000 files a second here); the deletions go
# through one xargs rm. About a minute in all here.
#
# The mount is always taken down, also when a step fails or the script is interrupted; the
# image is only renamed into place when every step succeeded.
set -euo pipefail

work=${1:-${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-ntfs-bench}}
mkdir -p "$work"
cd "$work"

image=ntfs-tree.img
manifest=ntfs-manifest.tsv
[[ -f $image && -f $manifest ]] && exit 0

for tool in mkntfs ntfs-3g python3 mountpoint; do
  command -v "$tool" >/dev/null || { echo "make_ntfs_bench_image.sh: $tool is needed (apt-get install -y ntfs-3g python3)" >&2; exit 1; }
done
[[ $(id -u) -eq 0 ]] || { echo "make_ntfs_bench_image.sh: the ntfs-3g mount needs root" >&2; exit 1; }

echo "making $work/$image (about a minute)" >&2
part=$image.part
mnt=$work/mnt.$$
fusepid=
unmount() {
  if [[ -n "$fusepid" ]]; then
    if mountpoint -q "$mnt"; then
      umount "$mnt" 2>/dev/null || fusermount -u "$mnt" 2>/dev/null || umount -l "$mnt" || true
    fi
    # ntfs-3g finishes writing the volume after the unmount returns: wait for it.
    wait "$fusepid" 2>/dev/null || true
    fusepid=
  fi
  [[ -d "$mnt" ]] && rmdir "$mnt" 2>/dev/null || true
}
trap unmount EXIT
trap 'exit 130' INT TERM

rm -f "$part" "$manifest.part"
truncate -s 3G "$part"
mkntfs -F -f -q -s 512 -c 4096 -L QUARROWBENCH "$part" > mkntfs.log 2>&1 ||
  { cat mkntfs.log >&2; exit 1; }
mkdir -p "$mnt"
# In the foreground (no_detach) in the background of this shell, so that its end can be
# waited for.
ntfs-3g -o no_detach,big_writes,noatime "$part" "$mnt" > ntfs-3g.log 2>&1 &
fusepid=$!
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "make_ntfs_bench_image.sh: the ntfs-3g mount did not come up" >&2; cat ntfs-3g.log >&2; exit 1; }

python3 - "$mnt" "$manifest.part" "$work/delete.list" <<'EOF'
import hashlib, os, random, sys

mnt, manifest_path, delete_path = sys.argv[1:4]
r = random.Random(260000)
rows = []          # path, size, sha256
n = 0

def size_of():
    x = r.random()
    if x < 0.45: return r.randint(0, 700)
    if x < 0.98: return r.randint(701, 4000)
    if x < 0.998: return r.randint(4001, 64 * 1024)
    return r.randint(64 * 1024 + 1, 1024 * 1024)

def put(folder, count):
    global n
    for _ in range(count):
        n += 1
        rel = f"{folder}/f{n:06d}.dat"
        data = r.randbytes(size_of())
        fd = os.open(os.path.join(mnt, rel), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            if data and os.write(fd, data) != len(data):
                raise OSError(f"short write to {rel}")
        finally:
            os.close(fd)
        rows.append((rel, len(data), hashlib.sha256(data).hexdigest()))

def mkdir(rel):
    os.mkdir(os.path.join(mnt, rel))

mkdir("Flat")
put("Flat", 10000)
tops = [f"Top {t:02d}" for t in range(16)]
tops[3] = "Top 03 Ärger"
tops[11] = "Top 11 Überblick"
for t in tops:
    mkdir(t)
    for s in range(12):
        sub = f"{t}/Sub {s:02d}"
        mkdir(sub)
        put(sub, 1200)
        mkdir(f"{sub}/deeper")
        put(f"{sub}/deeper", 100)
mkdir("few")
put("few", 3)
mkdir("empty")

# Every fifth file outside "few", and everything in two whole subfolders.
gone_folders = (f"{tops[3]}/Sub 05/", f"{tops[7]}/Sub 09/")
deleted = set()
with open(delete_path, "wb") as out:
    for i, (rel, _, _) in enumerate(rows):
        if rel.startswith(gone_folders):
            deleted.add(rel)
        elif i % 5 == 4 and not rel.startswith("few/"):
            deleted.add(rel)
            out.write(rel.encode() + b"\0")
with open(manifest_path, "w", encoding="utf-8") as m:
    m.write("path\tsize\tsha256\tdeleted\n")
    for rel, size, digest in rows:
        m.write(f"{rel}\t{size}\t{digest}\t{1 if rel in deleted else 0}\n")
print(f"{len(rows)} files written, {len(deleted)} to be deleted", file=sys.stderr)
EOF

(cd "$mnt" && xargs -0 rm -f -- < "$work/delete.list" && rm -rf -- "Top 03 Ärger/Sub 05" "Top 07/Sub 09")
rm -f "$work/delete.list"
sync -f "$mnt/few"
unmount
mv "$manifest.part" "$manifest"
mv "$part" "$image"
rm -f mkntfs.log ntfs-3g.log
echo "made $work/$image: $(du -h "$image" | cut -f1) on disk" >&2
