#!/usr/bin/env bash
# NTFS benchmark: reading the MFT, listing and recovering with quarrow-cli against The Sleuth
# Kit (fls, tsk_recover), on the image of bench/make_ntfs_bench_image.sh (259,603 files in
# 403 folders, 54,000 of the files deleted), in one run, with a warm page cache:
#
#   1. Reading the MFT and listing the root: `list IMG --json` against `fls -f ntfs IMG`.
#      Then `list` of folders of 0, 3, 100, 1,201 and 10,000 items, each a new run that
#      reads the MFT again: the empty folder's time is the MFT read (the root, loaded on the
#      way, holds 21 items), and what the others take beyond it is the folder's own listing.
#   2. Listing every folder once: `list IMG --recursive --all --json` against
#      `fls -r -p -f ntfs IMG`.
#   3. Recovering every deleted file: `recover IMG / --deleted-only --to DIR` (the deleted
#      files with the folders on their way, under DIR/<the volume's name>/) against
#      `tsk_recover -f ntfs IMG DIR` (deleted files by default).
#
# Goals: 1 to 3 faster than The Sleuth Kit; a folder's listing costs time in proportion to
# its items once the MFT is read; the loaded MFT needs at most its own size plus 64 bytes a
# record (peak RSS of `list --recursive`, and of `list` of the empty folder, against the
# $MFT's size from istat and its record count; the program's own RSS without a volume is
# printed too).
#
#   bench/bench_ntfs.sh
#
# The image is made in the work folder ($QUARROW_BENCH_DIR, default
# $TMPDIR/quarrow-ntfs-bench) when absent (that needs root, for the ntfs-3g mount). The
# quarrow-cli of $QUARROW_BUILD_DIR (default build/) is used, built there first (Release)
# when that folder has no build yet. Recovered files go to a tmpfs folder (/dev/shm when
# writable).
#
# Environment: QUARROW_BENCH_RUNS (timed runs of each listing, default 10; the whole-volume
# listings and recoveries run half as often, at least 3). The median is reported, and the
# mean CPU time (user + system), which suffers less from other load on the machine.
#
# Checks, printed after the timings: what each tool listed against the manifest (deleted
# files, existing files), how many files each recovered, and every deleted file of the
# manifest against what each tool wrote (byte-identical by SHA-256, wrong, or missing).
#
# Installs nothing. Needs The Sleuth Kit (package sleuthkit), python3 and GNU time
# (package time); hyperfine (package hyperfine) times the commands when installed
# (otherwise a plain loop does):
#
#   apt-get install -y sleuthkit hyperfine time ntfs-3g
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-ntfs-bench}
runs=${QUARROW_BENCH_RUNS:-10}
slowruns=$(( runs / 2 < 3 ? 3 : runs / 2 ))

have() { command -v "$1" >/dev/null 2>&1; }
for tool in fls istat tsk_recover python3; do
  have "$tool" || { echo "bench_ntfs.sh: $tool is needed (apt-get install -y sleuthkit python3)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "bench_ntfs.sh: /usr/bin/time is needed (apt-get install -y time)" >&2; exit 1; }
have hyperfine || echo "bench_ntfs.sh: hyperfine is missing (package hyperfine); a plain timing loop is used" >&2

"$root/bench/make_ntfs_bench_image.sh" "$work"

# quarrow-cli: brought up to date in an existing build folder, else built there.
if [[ -f "$build/build.ninja" ]]; then
  ninja -j2 -C "$build" quarrow-cli >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_GUI=OFF \
    -DQUARROW_BUILD_TESTS=OFF >/dev/null
  ninja -j2 -C "$build" quarrow-cli >/dev/null
fi
cli=$build/quarrow-cli
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

if [[ -d /dev/shm && -w /dev/shm ]]; then
  out=/dev/shm/quarrow-ntfs-bench-out.$$
else
  out=$work/out.$$
fi
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
results=$out/results.tsv
: > "$results"

img=$work/ntfs-tree.img
manifest=$work/ntfs-manifest.tsv

recover_deleted="$cli recover $img / --deleted-only --to $out/q --overwrite skip"

echo "== machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:     $(nproc) x $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "memory:  $(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
echo "kernel:  $(uname -r)"
echo "build:   $cli ($buildtype), $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "tools:   $(fls -V | head -1), $(hyperfine --version 2>/dev/null || echo 'no hyperfine'), $(python3 --version)"
echo "image:   $img ($(stat -c %s "$img") bytes, $(du -h "$img" | cut -f1) on disk, on $(df -T "$work" | awk 'NR == 2 { print $2 }'))"
echo "output:  $out ($(df -T "$out" | awk 'NR == 2 { print $2 }'))"
echo "load:    $(uptime)"

# Warm page cache: the image is read once before any timing.
cat "$img" > /dev/null

# timeit LABEL RUNS PREPARE COMMAND: times COMMAND (a shell line) RUNS times, each after
# PREPARE (a shell line, not timed), and appends "LABEL<TAB>median<TAB>min<TAB>max<TAB>mean
# CPU seconds (user + system)" to the results. A failing command does not stop the timing;
# the checks below look at what it did.
timeit() {
  local label=$1 n=$2 prepare=$3 cmd=$4
  if have hyperfine; then
    hyperfine --style basic --ignore-failure --warmup 1 --runs "$n" --prepare "$prepare" \
      --export-json "$out/h.json" "$cmd" >&2
    python3 - "$out/h.json" "$label" >> "$results" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print(f"{sys.argv[2]}\t{r['median']:.4f}\t{r['min']:.4f}\t{r['max']:.4f}\t{r['user'] + r['system']:.4f}")
EOF
  else
    local times=() t0 t1 i
    bash -c "$prepare" && bash -c "$cmd" > /dev/null || true
    for ((i = 0; i < n; ++i)); do
      bash -c "$prepare"
      t0=$(date +%s%N)
      bash -c "$cmd" > /dev/null || true
      t1=$(date +%s%N)
      times+=("$(( t1 - t0 ))")
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v l="$label" '{ a[NR] = $1 / 1e9 }
      END { m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%s\t%.4f\t%.4f\t%.4f\t-\n", l, m, a[1], a[NR] }' >> "$results"
  fi
}

# --- 1. the MFT and the root; folders of different sizes ---------------------------------
echo "== 1. reading the MFT and listing the root; folders of 0 to 10,000 items"
timeit "1 quarrow list ROOT --json" "$runs" "true" "$cli list $img --json > /dev/null"
timeit "1 fls ROOT" "$runs" "true" "fls -f ntfs $img > /dev/null"
timeit "1 quarrow list empty (0 items)" "$runs" "true" "$cli list $img empty --json > /dev/null"
timeit "1 quarrow list few (3 items)" "$runs" "true" "$cli list $img few --json > /dev/null"
timeit "1 quarrow list 'Top 00/Sub 00/deeper' (100 items)" "$runs" "true" "$cli list $img 'Top 00/Sub 00/deeper' --json > /dev/null"
timeit "1 quarrow list 'Top 00/Sub 00' (1,201 items)" "$runs" "true" "$cli list $img 'Top 00/Sub 00' --json > /dev/null"
timeit "1 quarrow list Flat (10,000 items)" "$runs" "true" "$cli list $img Flat --json > /dev/null"

# --- 2. every folder once -----------------------------------------------------------------
echo "== 2. listing every folder once"
timeit "2 quarrow list --recursive --all --json" "$slowruns" "true" "$cli list $img --recursive --all --json > /dev/null"
timeit "2 fls -r -p" "$slowruns" "true" "fls -r -p -f ntfs $img > /dev/null"

# --- 3. every deleted file ----------------------------------------------------------------
echo "== 3. recovering every deleted file"
timeit "3 quarrow recover / --deleted-only" "$slowruns" "rm -rf $out/q && mkdir $out/q" "$recover_deleted"
timeit "3 tsk_recover" "$slowruns" "rm -rf $out/t && mkdir $out/t" "tsk_recover -f ntfs $img $out/t > /dev/null"

echo "load after: $(uptime)"

# --- memory ------------------------------------------------------------------------------
echo "== memory (peak RSS)"
rss() { /usr/bin/time -f %M -o "$out/rss" bash -c "$1" > /dev/null 2>&1 || true; cat "$out/rss" | tail -1; }
rss_base=$(rss "$cli --help > /dev/null")
rss_empty=$(rss "$cli list $img empty > /dev/null")
rss_rec=$(rss "$cli list $img --recursive --all --json > /dev/null")
rss_fls=$(rss "fls -r -p -f ntfs $img > /dev/null")
mft_bytes=$(istat -f ntfs "$img" 0 | sed -n 's/^Type: \$DATA (128-[0-9]*).*[^_]size: \([0-9]*\).*/\1/p' | head -1)
record_size=$(python3 -c '
import sys
b = open(sys.argv[1], "rb").read(512)
v = b[0x40]
bps, spc = b[0x0B] | b[0x0C] << 8, b[0x0D]
print(v * bps * spc if v < 0x80 else 1 << (256 - v))' "$img")
python3 - "$rss_base" "$rss_empty" "$rss_rec" "$rss_fls" "$mft_bytes" "$record_size" <<'EOF'
import sys
base, empty, rec, fls = (int(x) * 1024 for x in sys.argv[1:5])
mft, rsize = int(sys.argv[5]), int(sys.argv[6])
records = mft // rsize
bound = mft + 64 * records
print(f"$MFT: {mft:,} bytes, {records:,} records of {rsize} bytes; the bound: {bound:,} bytes")
print(f"quarrow-cli --help (no volume):           {base:,} bytes")
for label, v in (("list IMG empty", empty), ("list IMG --recursive --all --json", rec)):
    net = v - base
    beyond = (f"$MFT + {(net - mft) / records:.1f} bytes a record" if net >= mft
              else f"{net / mft:.0%} of the $MFT")
    print(f"{label + ':':41} {v:,} bytes; less the program's own: {net:,} = {beyond} "
          f"({net / bound:.0%} of the bound)")
print(f"fls -r -p:                                {fls:,} bytes")
EOF

# --- checks ------------------------------------------------------------------------------
echo "== checks"
"$cli" list "$img" --recursive --all --json > "$out/q-list.json"
fls -r -p -f ntfs "$img" > "$out/fls.txt"
rm -rf "$out/q" "$out/t" && mkdir "$out/q" "$out/t"
set +e
bash -c "$recover_deleted" 2> "$out/q-recover.err"
q_status=$?
tsk_recover -f ntfs "$img" "$out/t" > "$out/t-recover.txt" 2> "$out/t-recover.err"
t_status=$?
set -e
echo "quarrow recover --deleted-only: exit status $q_status; stderr lines: $(wc -l < "$out/q-recover.err")"
echo "tsk_recover: exit status $t_status, $(cat "$out/t-recover.txt")"
python3 - "$manifest" "$out/q-list.json" "$out/fls.txt" "$out/q" "$out/t" <<'EOF'
import hashlib, json, os, re, sys

manifest, qlist, flst, qdir, tdir = sys.argv[1:6]
deleted, existing, size, digest = set(), set(), {}, {}
with open(manifest, encoding="utf-8") as m:
    next(m)
    for line in m:
        path, sz, sha, gone = line.rstrip("\n").split("\t")
        (deleted if gone == "1" else existing).add(path)
        size[path], digest[path] = int(sz), sha

q_del, q_ex, q_deldirs, q_items = set(), set(), [], 0
with open(qlist, encoding="utf-8") as f:
    for line in f:
        j = json.loads(line)
        q_items += 1
        if j["dir"]:
            if j["deleted"]:
                q_deldirs.append(j["path"])
        else:
            (q_del if j["deleted"] else q_ex).add(j["path"])
print(f"manifest: {len(deleted) + len(existing):,} files, {len(deleted):,} deleted "
      f"({sum(1 for p in deleted if size[p] == 0)} of them empty)")
print(f"quarrow list --recursive --all: {q_items:,} items; deleted files {len(q_del):,} "
      f"(of the manifest's: {len(q_del & deleted):,}, others: {len(q_del - deleted)}); existing files "
      f"{len(q_ex):,} (of the manifest's: {len(q_ex & existing):,}, others: {len(q_ex - existing)}); "
      f"deleted folders: {', '.join(q_deldirs)}")

f_del, f_ex = set(), set()
for line in open(flst, encoding="utf-8", errors="replace"):
    m = re.match(r"^(\S)/(\S) (\* )?[0-9-]+(\(realloc\))?:\t(.*)$", line.rstrip("\n"))
    if not m or m.group(1) == "d" or m.group(2) == "d":
        continue
    (f_del if m.group(3) else f_ex).add(m.group(5))
other = sorted(f_del - deleted)
print(f"fls -r -p: deleted files {len(f_del):,} (of the manifest's: {len(f_del & deleted):,}, others: "
      f"{len(other)}{' such as ' + ', '.join(other[:3]) if other else ''}); existing files "
      f"{len(f_ex & existing):,} of the manifest's")

def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()

def check(label, top, where):
    same = wrong = missing = 0
    wrong_list, missing_list = [], []
    for p in sorted(deleted):
        target = where(p)
        if not os.path.isfile(target):
            missing += 1
            missing_list.append(p)
        elif sha(target) == digest[p]:
            same += 1
        else:
            wrong += 1
            wrong_list.append(p)
    empty_missing = sum(1 for p in missing_list if size[p] == 0)
    written = sum(len(files) for _, _, files in os.walk(top))
    print(f"{label}: {written:,} files written; of the {len(deleted):,} deleted files {same:,} byte-identical, "
          f"{wrong} wrong{' (' + ', '.join(wrong_list[:3]) + ')' if wrong else ''}, {missing} missing"
          f"{f' ({empty_missing} of them empty)' if missing else ''}")

# The root is written as one folder named after the volume, and nothing beside it.
tops = os.listdir(qdir)
qroot = os.path.join(qdir, tops[0]) if len(tops) == 1 else qdir
print(f"quarrow recover: {len(tops)} folder(s) in DIR: {', '.join(tops[:3])}")
check("quarrow recover (DIR/VOLUME/PATH)", qdir, lambda p: os.path.join(qroot, p))
# Nothing but the deleted files and the folders on their way.
wanted = set(deleted) | {p[:i] for p in deleted for i in range(len(p)) if p[i] == "/"}
found = set()
for top, dirs, files in os.walk(qroot):
    for n in dirs + files:
        found.add(os.path.relpath(os.path.join(top, n), qroot))
extra = sorted(found - wanted)
print(f"quarrow recover: {len(extra)} item(s) written beyond the deleted files and their folders"
      f"{' such as ' + ', '.join(extra[:3]) if extra else ''}")
check("tsk_recover (DIR/PATH)", tdir, lambda p: os.path.join(tdir, p))
EOF

# --- summary -----------------------------------------------------------------------------
echo "== results (seconds: median, min, max, mean CPU user + system)"
python3 - "$results" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])]
t = {r[0]: (float(r[1]), r[4]) for r in rows}
for r in rows:
    print(f"{r[0]:<52} {float(r[1]):8.3f} {float(r[2]):8.3f} {float(r[3]):8.3f} {r[4]:>8}")
def ratio(a, b):
    if a in t and b in t:
        cpu = ""
        if t[a][1] != "-" and t[b][1] != "-":
            cpu = f", CPU {float(t[b][1]) / float(t[a][1]):.2f}x"
        print(f"{b} / {a}: {t[b][0] / t[a][0]:.2f}x{cpu}  (above 1: quarrow is faster)")
ratio("1 quarrow list ROOT --json", "1 fls ROOT")
ratio("2 quarrow list --recursive --all --json", "2 fls -r -p")
ratio("3 quarrow recover / --deleted-only", "3 tsk_recover")
base = t.get("1 quarrow list empty (0 items)")
if base:
    cpu = base[1] != "-"
    print(f"the MFT read (list of the empty folder): {base[0]:.3f} s"
          f"{f', CPU {float(base[1]):.3f} s' if cpu else ''}; beyond it (median; mean CPU):")
    for label, n in (("1 quarrow list few (3 items)", 3), ("1 quarrow list 'Top 00/Sub 00/deeper' (100 items)", 100),
                     ("1 quarrow list 'Top 00/Sub 00' (1,201 items)", 1201), ("1 quarrow list Flat (10,000 items)", 10000)):
        if label in t:
            extra = t[label][0] - base[0]
            line = f"  {label:<52} {extra * 1000:8.1f} ms"
            if cpu:
                extra_cpu = float(t[label][1]) - float(base[1])
                line += f"; CPU {extra_cpu * 1000:7.1f} ms, {extra_cpu / n * 1e6:8.1f} us an item"
            print(line)
EOF
