#!/usr/bin/env bash
# FAT benchmark: listing and recovering with quarrow-cli against The Sleuth Kit (fls, icat,
# tsk_recover) and cp, on the images of bench/make_fat_bench_images.sh, in one run, with a
# warm page cache:
#
#   1. A folder of 20,000 entries, half of them deleted (folder20k.img): `list` of the
#      folder with and without --all, against fls of that folder (all entries, and -d),
#      and of the whole volume with -r -p and -r -d.
#   2. One deleted 1 GiB file in one run of clusters (onegig.img): `recover` against cp of
#      the original file, icat of the deleted file and tsk_recover -e. Goal: at least 70%
#      of cp's throughput.
#   3. A few thousand deleted files of mixed sizes in nested folders (tree.img): `list
#      --recursive` against fls -r -d, and `recover` of the root against tsk_recover (which
#      saves the deleted files by default). Goal: faster than both.
#
#   bench/bench_fat.sh
#
# The images are made in the work folder ($QUARROW_BENCH_DIR, default
# $TMPDIR/quarrow-fat-bench) when absent. The quarrow-cli of $QUARROW_BUILD_DIR (default
# build/) is used, built there first (Release) when that folder has no build yet. Every
# command writes into a tmpfs folder (/dev/shm when writable), and cp copies the original
# 1 GiB file from the work folder, where the images lie, into that same tmpfs folder, so
# cp and the recovery read from and write to the same places.
#
# Environment: QUARROW_BENCH_RUNS (timed runs of each quick command, default 10; the 1 GiB
# and whole-volume recoveries run half as often, at least 3). The median is reported.
#
# Checks, printed after the timings: the counts each tool lists and recovers, the names
# listed by each in the 20,000-entry folder (the same set), the SHA-256 of each recovered
# 1 GiB file against the original, and every deleted file of the tree's manifest against
# what each tool recovered (byte-identical, wrong, or missing).
#
# Installs nothing. Needs The Sleuth Kit (package sleuthkit), mtools, dosfstools and
# python3; hyperfine (package hyperfine) times the commands when installed (otherwise a
# plain loop does):
#
#   apt-get install -y sleuthkit hyperfine mtools dosfstools
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-fat-bench}
runs=${QUARROW_BENCH_RUNS:-10}
slowruns=$(( runs / 2 < 3 ? 3 : runs / 2 ))

have() { command -v "$1" >/dev/null 2>&1; }
for tool in fls icat tsk_recover python3 sha256sum; do
  have "$tool" || { echo "bench_fat.sh: $tool is needed (apt-get install -y sleuthkit python3 coreutils)" >&2; exit 1; }
done
have hyperfine || echo "bench_fat.sh: hyperfine is missing (package hyperfine); a plain timing loop is used" >&2

"$root/bench/make_fat_bench_images.sh" "$work"

# quarrow-cli: brought up to date in an existing build folder, else built there.
if [[ -f "$build/build.ninja" ]]; then
  ninja -C "$build" quarrow-cli >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_GUI=OFF \
    -DQUARROW_BUILD_TESTS=OFF >/dev/null
  ninja -C "$build" quarrow-cli >/dev/null
fi
cli=$build/quarrow-cli
buildtype=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")

if [[ -d /dev/shm && -w /dev/shm ]]; then
  out=/dev/shm/quarrow-fat-bench-out.$$
else
  out=$work/out.$$
fi
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT
results=$out/results.tsv
: > "$results"

f20k=$work/folder20k.img
onegig=$work/onegig.img
orig=$work/onegig-original.bin
tree=$work/tree.img
manifest=$work/tree-manifest.tsv

echo "== machine"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "cpu:     $(nproc) x $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "memory:  $(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
echo "kernel:  $(uname -r)"
echo "build:   $cli ($buildtype), $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "tools:   $(fls -V | head -1), $(hyperfine --version 2>/dev/null || echo 'no hyperfine'), $(cp --version | head -1)"
echo "output:  $out ($(df -T "$out" | awk 'NR == 2 { print $2 }'))"
echo "load:    $(uptime)"

# Warm page cache: every image and the original are read once before any timing.
cat "$f20k" "$onegig" "$orig" "$tree" > /dev/null

# timeit LABEL RUNS PREPARE COMMAND: times COMMAND (a shell line) RUNS times, each after
# PREPARE (a shell line, not timed), and appends "LABEL<TAB>median seconds<TAB>min<TAB>max"
# to the results.
timeit() {
  local label=$1 n=$2 prepare=$3 cmd=$4
  if have hyperfine; then
    hyperfine --style basic --warmup 1 --runs "$n" --prepare "$prepare" --export-json "$out/h.json" "$cmd" >&2
    python3 - "$out/h.json" "$label" >> "$results" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print(f"{sys.argv[2]}\t{r['median']:.4f}\t{r['min']:.4f}\t{r['max']:.4f}")
EOF
  else
    local times=() t0 t1 i
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
  fi
}
median() { awk -F'\t' -v l="$1" '$1 == l { print $2 }' "$results"; }

# --- 1. a folder of 20,000 entries ------------------------------------------------------
folder=REPORTS
inode=$(fls -f fat "$f20k" | awk -F'[ \t:]+' -v n="$folder" '$1 == "d/d" && $NF == n { print $2 }')
[[ -n "$inode" ]] || { echo "bench_fat.sh: no folder $folder in $f20k" >&2; exit 1; }
echo "== 1. folder of 20,000 entries ($f20k, folder $folder = TSK inode $inode)"
timeit "1 quarrow list FOLDER --all --json" "$runs" "true" "$cli list $f20k $folder --all --json"
timeit "1 quarrow list FOLDER --json" "$runs" "true" "$cli list $f20k $folder --json"
timeit "1 quarrow list FOLDER --all" "$runs" "true" "$cli list $f20k $folder --all"
timeit "1 fls INODE" "$runs" "true" "fls -f fat $f20k $inode"
timeit "1 fls -d INODE" "$runs" "true" "fls -d -f fat $f20k $inode"
timeit "1 fls -r -p" "$runs" "true" "fls -r -p -f fat $f20k"
timeit "1 fls -r -d" "$runs" "true" "fls -r -d -f fat $f20k"

"$cli" list "$f20k" "$folder" --all --json > "$out/q-all.json"
"$cli" list "$f20k" "$folder" --json > "$out/q-del.json"
fls -f fat "$f20k" "$inode" > "$out/fls-all.txt"
fls -d -f fat "$f20k" "$inode" > "$out/fls-del.txt"

# --- 2. one deleted 1 GiB file ------------------------------------------------------------
gig=$(stat -c %s "$orig")
name=$("$cli" list "$onegig" --json | python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    if j["deleted"] and not j["dir"]:
        print(j["path"]); break')
ginode=$(fls -d -f fat "$onegig" | awk -F'[ \t:]+' '$1 == "r/r" && $2 == "*" { print $3; exit }')
[[ -n "$name" && -n "$ginode" ]] || { echo "bench_fat.sh: the deleted file of $onegig is not listed" >&2; exit 1; }
echo "== 2. one deleted 1 GiB file ($onegig: quarrow item $name, TSK inode $ginode)"
mkdir -p "$out/g"
timeit "2 cp" "$slowruns" "rm -rf $out/g/cp && mkdir $out/g/cp" "cp $orig $out/g/cp/VIDEO.BIN"
timeit "2 quarrow recover" "$slowruns" "rm -rf $out/g/q && mkdir $out/g/q" "$cli recover $onegig '$name' --to $out/g/q"
timeit "2 icat" "$slowruns" "rm -rf $out/g/icat && mkdir $out/g/icat" "icat -f fat $onegig $ginode > $out/g/icat/VIDEO.BIN"
timeit "2 tsk_recover -e" "$slowruns" "rm -rf $out/g/tsk && mkdir $out/g/tsk" "tsk_recover -e -f fat $onegig $out/g/tsk"

# --- 3. a few thousand deleted files in nested folders -----------------------------------
echo "== 3. deleted files in nested folders ($tree)"
timeit "3 quarrow list --recursive --json" "$runs" "true" "$cli list $tree --recursive --json"
timeit "3 quarrow list --recursive" "$runs" "true" "$cli list $tree --recursive"
timeit "3 fls -r -d" "$runs" "true" "fls -r -d -f fat $tree"
timeit "3 fls -r -d -p" "$runs" "true" "fls -r -d -p -f fat $tree"
mkdir -p "$out/t"
timeit "3 quarrow recover /" "$slowruns" "rm -rf $out/t/q && mkdir $out/t/q" "$cli recover $tree / --to $out/t/q"
timeit "3 tsk_recover" "$slowruns" "rm -rf $out/t/tsk && mkdir $out/t/tsk" "tsk_recover -f fat $tree $out/t/tsk"
"$cli" list "$tree" --recursive --json > "$out/t-q.json"
fls -r -d -p -f fat "$tree" > "$out/t-fls.txt"
echo "load after: $(uptime)"

# --- results and checks ---------------------------------------------------------------------
echo
echo "== timings (median, min, max in seconds; $runs runs, $slowruns for 1 GiB and whole-volume recoveries)"
column -t -s $'\t' "$results"

echo
echo "== checks"
python3 - "$out" "$results" "$gig" "$manifest" "$orig" <<'EOF'
import hashlib, json, os, sys
out, results, gig, manifest, orig = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
med = {l.split("\t")[0]: float(l.split("\t")[1]) for l in open(results)}
problems = []

def jl(path): return [json.loads(l) for l in open(path)]
def fls_names(path):
    names = []
    for line in open(path):
        meta, _, name = line.rstrip("\n").partition(":\t")
        names.append((meta.split()[0], "*" in meta, name))
    return names

# 1. The folder: counts and names.
qa, qd = jl(f"{out}/q-all.json"), jl(f"{out}/q-del.json")
fa, fd = fls_names(f"{out}/fls-all.txt"), fls_names(f"{out}/fls-del.txt")
print(f"1. quarrow --all lists {len(qa)} items ({sum(i['deleted'] for i in qa)} deleted), without --all {len(qd)};"
      f" fls lists {len(fa)} ({sum(d for _, d, _ in fa)} deleted), fls -d {len(fd)}")
if {i["name"] for i in qa} != {n for _, _, n in fa}: problems.append("1: quarrow --all and fls list different names")
if {i["name"] for i in qd} != {n for _, _, n in fd}: problems.append("1: quarrow and fls -d list different deleted names")
if len(qa) != 20000 or len(qd) != 10000: problems.append(f"1: quarrow lists {len(qa)} / {len(qd)}, not 20000 / 10000")

# 2. The 1 GiB file: throughput and SHA-256 of each copy.
def sha(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 22): h.update(chunk)
    return h.hexdigest()
want = sha(orig)
def gib_s(label): return gig / med[label] / (1 << 30)
for label, path in [("2 cp", "g/cp/VIDEO.BIN"), ("2 quarrow recover", None), ("2 icat", "g/icat/VIDEO.BIN"),
                    ("2 tsk_recover -e", None)]:
    d = f"{out}/{path}" if path else None
    if d is None:
        base = f"{out}/g/q" if label.startswith("2 quarrow") else f"{out}/g/tsk"
        found = [os.path.join(r, f) for r, _, fs in os.walk(base) for f in fs]
        d = found[0] if len(found) == 1 else None
        if len(found) != 1: problems.append(f"2: {label} wrote {len(found)} files, not 1")
    ok = d is not None and os.path.getsize(d) == gig and sha(d) == want
    if not ok: problems.append(f"2: {label}: the recovered file differs from the original")
    print(f"2. {label}: {med[label]:.3f} s, {gib_s(label):.2f} GiB/s, {os.path.relpath(d, out) if d else '?'}"
          f" SHA-256 {'equal' if ok else 'DIFFERENT'}")
print(f"2. quarrow recover / cp throughput: {gib_s('2 quarrow recover') / gib_s('2 cp'):.0%} (goal: at least 70%)")

# 3. The tree: counts, and every deleted file of the manifest against each tool's output.
qt = jl(f"{out}/t-q.json")
ft = fls_names(f"{out}/t-fls.txt")
qfiles = [i for i in qt if i["deleted"] and not i["dir"]]
print(f"3. listed deleted files: quarrow {len(qfiles)}, fls -r -d {sum(1 for t, _, _ in ft if t.endswith('/r'))}"
      f" (and {sum(1 for t, _, _ in ft if t.endswith('/d'))} deleted folders);"
      f" quarrow lists {sum(1 for i in qt if i['dir'] and i['deleted'])} deleted folders, LostFiles included")
entries = [l.rstrip("\n").split("\t") for l in open(manifest)]
deleted = [(p, int(n), h) for p, n, h, d in entries if d == "1"]
def shown(rel):
    # A deleted name that is a short name only lost its first character: both tools put "_".
    folder, _, base = rel.rpartition("/")
    if base.isupper() and len(base) <= 12: base = "_" + base[1:]
    return f"{folder}/{base}" if folder else base
def check(label, base):
    files = {os.path.relpath(os.path.join(r, f), base) for r, _, fs in os.walk(base) for f in fs}
    same = wrong = missing = empty = 0
    for rel, n, h in deleted:
        p = shown(rel)
        if p not in files:
            missing += 1
            empty += n == 0
            continue
        files.discard(p)
        with open(os.path.join(base, p), "rb") as f: data = f.read()
        if len(data) == n and hashlib.sha256(data).hexdigest() == h: same += 1
        else: wrong += 1
    print(f"3. {label}: {same + wrong + len(files)} files written; of the manifest's {len(deleted)} deleted files"
          f" {same} byte-identical, {wrong} different, {missing} missing ({empty} of them empty);"
          f" {len(files)} other files")
    # An empty file left out is noted above, not counted as a fault (tsk_recover writes none).
    if wrong or files or missing > empty: problems.append(f"3: {label} did not recover every deleted file exactly")
qroot = [d for d in os.listdir(f"{out}/t/q")]
check("quarrow recover /", os.path.join(f"{out}/t/q", qroot[0]) if len(qroot) == 1 else f"{out}/t/q")
check("tsk_recover", f"{out}/t/tsk")
print(f"3. list: quarrow --recursive --json {med['3 quarrow list --recursive --json']:.3f} s,"
      f" fls -r -d {med['3 fls -r -d']:.3f} s"
      f" ({med['3 fls -r -d'] / med['3 quarrow list --recursive --json']:.2f}x); recover: quarrow"
      f" {med['3 quarrow recover /']:.3f} s, tsk_recover {med['3 tsk_recover']:.3f} s"
      f" ({med['3 tsk_recover'] / med['3 quarrow recover /']:.2f}x) (goal: faster than both)")
print("problems: " + ("; ".join(problems) if problems else "none"))
EOF
