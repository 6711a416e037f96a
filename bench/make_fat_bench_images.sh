#!/usr/bin/env bash
# Makes the FAT32 images of the FAT benchmark (bench/bench_fat.sh) in a work folder, each
# only when it is absent:
#
#   bench/make_fat_bench_images.sh [WORKDIR]
#
# WORKDIR defaults to $QUARROW_BENCH_DIR, else $TMPDIR/quarrow-fat-bench (/tmp when TMPDIR
# is unset). Needs mkfs.fat (dosfstools), mtools and python3. What it makes:
#
#   folder20k.img   512 MiB FAT32 (4 KiB clusters). The root folder REPORTS holds 20,000
#                   files of 1 to 3,000 bytes, named 00001_report.txt ... 20000_report.txt
#                   (a long name and a short one each); every odd-numbered one is deleted
#                   with mdel, so 10,000 are deleted and 10,000 exist.
#   onegig.img      1,152 MiB FAT32 (default cluster size). One file, VIDEO.BIN, of 1 GiB
#                   of random bytes, copied in with mcopy onto the empty volume (so it lies
#                   in one run of clusters) and then deleted with mdel. The original is
#                   kept as onegig-original.bin.
#   tree.img        1 GiB FAT32 (4 KiB clusters). 5,000 files of mixed sizes (35%
#                   up to 4 KiB, 40% 4-64 KiB, 22% 64-512 KiB, 3% 512 KiB-4 MiB, a few
#                   empty) in the root and 88 folders nested three deep under it (8 top folders
#                   with "Mixed Case" long names, 4 subfolders each, 1 or 2 below each of those).
#                   All are copied in, then about two thirds of the files of the kept
#                   folders are deleted with mdel, and 6 whole folders with mdeltree (those
#                   get fewer files, so that each fits in its one cluster).
#                   The source tree is kept as tree-src/, and tree-manifest.tsv names each
#                   file: path, size, SHA-256, and 1 when it was deleted (0 otherwise).
#
# Speed of making: mtools finds a free short name for a long one by trying NAME~1,
# NAME~2, ... each with a scan of the whole folder, so long names that share their first
# six characters are slow (2,000 such names took two minutes, 2,000 names that differ in
# their first six characters a tenth of a second). Every name here is
# unique in its first six characters (a running number leads), so each short name is
# free at the first try and one mcopy of all 20,000 files takes a few seconds. The file
# contents are written by python3 from fixed seeds, so they are the same each time.
set -euo pipefail

work=${1:-${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-fat-bench}}
mkdir -p "$work"
cd "$work"
export MTOOLS_SKIP_CHECK=1

for tool in mkfs.fat mcopy mdel mdeltree mmd python3; do
  command -v "$tool" >/dev/null || { echo "make_fat_bench_images.sh: $tool is needed (dosfstools, mtools, python3)" >&2; exit 1; }
done

# --- 20,000 files in one folder -------------------------------------------------------
if [[ ! -f folder20k.img ]]; then
  echo "making $work/folder20k.img" >&2
  rm -rf folder20k-src && mkdir folder20k-src
  python3 - folder20k-src <<'EOF'
import random, sys, os
r = random.Random(20000)
d = sys.argv[1]
for i in range(1, 20001):
    with open(os.path.join(d, f"{i:05d}_report.txt"), "wb") as f:
        f.write(r.randbytes(r.randint(1, 3000)))
EOF
  mkfs.fat -F 32 -s 8 -n FOLDER20K -C folder20k.img.part $((512 * 1024)) >/dev/null
  mmd -i folder20k.img.part ::REPORTS
  (cd folder20k-src && mcopy -i ../folder20k.img.part -m ./*_report.txt ::REPORTS/)
  # The odd-numbered half goes, in as few mdel calls as xargs allows (one, here).
  (cd folder20k-src && printf '%s\n' ./*_report.txt | sed 's|^\./||' |
     awk -F_ '($1 % 2) == 1 { print "::REPORTS/" $0 }' | xargs mdel -i ../folder20k.img.part)
  rm -rf folder20k-src
  mv folder20k.img.part folder20k.img
fi

# --- one deleted 1 GiB file -----------------------------------------------------------
if [[ ! -f onegig.img || ! -f onegig-original.bin ]]; then
  echo "making $work/onegig.img" >&2
  python3 - onegig-original.bin <<'EOF'
import random, sys
r = random.Random(1 << 30)
with open(sys.argv[1], "wb") as f:
    for _ in range(1024):
        f.write(r.randbytes(1 << 20))
EOF
  mkfs.fat -F 32 -n ONEGIG -C onegig.img.part $((1152 * 1024)) >/dev/null
  mcopy -i onegig.img.part onegig-original.bin ::VIDEO.BIN
  mdel -i onegig.img.part ::VIDEO.BIN
  mv onegig.img.part onegig.img
fi

# --- a few thousand deleted files in nested folders -----------------------------------
if [[ ! -f tree.img || ! -f tree-manifest.tsv ]]; then
  echo "making $work/tree.img" >&2
  rm -rf tree-src && mkdir tree-src
  # Writes the tree and two lists: tree-delete-files.txt (files for mdel) and
  # tree-delete-folders.txt (folders for mdeltree); the manifest marks what they delete.
  python3 - tree-src <<'EOF'
import hashlib, os, random, sys
r = random.Random(5000)
root = sys.argv[1]
tops = ["Projects Alpha", "Photos 2023", "Invoices Q1", "Music Library", "Source Code",
        "Scans Archive", "Mail Export", "Backup Set"]
folders = []
for t in tops:
    folders.append(t)
    for k in range(1, 5):
        sub = f"{t}/Part {k} Data"
        folders.append(sub)
        for m in range(1, (k % 2) + 2):
            folders.append(f"{sub}/Level3 Batch{m}")
folders = [""] + folders          # the root holds files too
for f in folders:
    os.makedirs(os.path.join(root, f), exist_ok=True)
exts = ["jpg", "txt", "pdf", "bin", "doc", "zip", "dat", "log"]
def size():
    x = r.random()
    if x < 0.005: return 0
    if x < 0.35: return r.randint(1, 4096)
    if x < 0.75: return r.randint(4097, 65536)
    if x < 0.97: return r.randint(65537, 512 * 1024)
    return r.randint(512 * 1024 + 1, 4 << 20)
# The folders deleted whole (with mdeltree) get fewer files, so that each fits in one
# cluster: the table no longer links the clusters of a deleted folder, so entries past
# its first cluster are out of reach of a listing that follows the folder's chain.
gone = ["Photos 2023/Part 1 Data", "Music Library/Part 3 Data/Level3 Batch1",
        "Source Code/Part 2 Data", "Mail Export/Part 4 Data/Level3 Batch1",
        "Backup Set/Part 1 Data/Level3 Batch2", "Invoices Q1/Part 3 Data"]
def doomed(f): return any(f == g or f.startswith(g + "/") for g in gone)
weights = [0.3 if doomed(f) else 1.0 for f in folders]
files = []
for i in range(1, 5001):
    folder = r.choices(folders, weights)[0]
    if i % 10 == 0:
        name = f"D{i:05d}.{exts[i % len(exts)].upper()}"        # a short name only
    else:
        name = f"{i:05d}_file of {r.choice(['Anna','Ben','Chloe','Dmitri'])}.{exts[i % len(exts)]}"
    rel = os.path.join(folder, name) if folder else name
    data = r.randbytes(size())
    with open(os.path.join(root, rel), "wb") as fh:
        fh.write(data)
    files.append((rel, len(data), hashlib.sha256(data).hexdigest()))
# The six folders above go with mdeltree (with the folders below them); two thirds of
# the files elsewhere go with mdel.
def under(rel, folder): return rel.startswith(folder + "/")
deleted = []
with open("tree-delete-files.txt", "w") as fd:
    for rel, n, h in files:
        if any(under(rel, g) for g in gone):
            deleted.append(1)
        elif r.random() < 2 / 3:
            deleted.append(1)
            fd.write("::" + rel + "\n")
        else:
            deleted.append(0)
# Folder entries: ".", "..", and per item its short entry plus one long-name entry per
# 13 characters (none for a short name only). Each deleted folder must fit in one 4 KiB
# cluster (128 entries).
for g in [f for f in folders if doomed(f)]:
    items = [rel[len(g) + 1:] for rel, n, h in files if rel.startswith(g + "/")]
    names = {x.split("/")[0] for x in items} | {f[len(g) + 1:].split("/")[0] for f in folders if f.startswith(g + "/")}
    entries = 2 + sum(1 + (0 if n.isupper() and "." in n and len(n) <= 12 else (len(n) + 12) // 13) for n in names)
    assert entries <= 128, (g, entries)
with open("tree-delete-folders.txt", "w") as fd:
    for g in gone:
        fd.write("::" + g + "\n")
with open("tree-manifest.tsv", "w") as fm:
    for (rel, n, h), d in zip(files, deleted):
        fm.write(f"{rel}\t{n}\t{h}\t{d}\n")
EOF
  mkfs.fat -F 32 -s 8 -n TREE -C tree.img.part $((1024 * 1024)) >/dev/null
  (cd tree-src && mcopy -s -i ../tree.img.part ./* ::/)
  tr '\n' '\0' < tree-delete-files.txt | xargs -0 mdel -i tree.img.part
  tr '\n' '\0' < tree-delete-folders.txt | xargs -0 mdeltree -i tree.img.part
  rm -f tree-delete-files.txt tree-delete-folders.txt
  mv tree.img.part tree.img
fi
ls -l "$work"/*.img >&2
