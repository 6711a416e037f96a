#!/usr/bin/env bash
# Deep-scan benchmark: `quarrow-cli deepscan` with the default types over a 1 GiB image, with
# a warm page cache, timed in one run against `cat IMAGE > /dev/null`, PhotoRec and foremost
# on the same image; then the peak resident memory of the scan, on that image and on one that
# holds twenty thousand files.
#
#   bench/bench_deepscan.sh [IMAGE]
#
# IMAGE defaults to $QUARROW_BENCH_IMAGE, else deepscan-1g.img in the work folder
# ($QUARROW_BENCH_DIR, default $TMPDIR/quarrow-deepscan-bench), made by
# bench/make_deepscan_image.py when absent (with IMAGE.json, the manifest of placed files).
# The quarrow-cli of $QUARROW_BUILD_DIR (default build/) is used, built there first when
# that folder has no build yet (Release). Recovered files go to a tmpfs folder
# (/dev/shm when writable), so that writing costs as little as it can.
#
# Environment: QUARROW_BENCH_RUNS (timed runs of each command, default 3; the median is
# reported), QUARROW_BENCH_MANY=0 (skip the many-files image), QUARROW_BENCH_TYPES=all (every
# type on: `--types all`, text included; PhotoRec with every file type it knows, foremost
# with all of its types; "intact" then counts every placed file).
#
# Installs nothing. hyperfine times the commands when installed (otherwise a plain loop
# does); /usr/bin/time (package time) measures memory; PhotoRec (package testdisk) and
# foremost (package foremost) are skipped when missing, and the script says so:
#
#   apt-get install -y hyperfine time testdisk foremost
#
# The other tools are restricted to the families of the deep scan's default types (bmp, jpg,
# doc/xls/ppt/vsd, docx/xlsx/pptx, pdf, rar, zip, mov): PhotoRec to jpg, bmp, doc (every
# compound document), zip (with the office-open formats), pdf, rar and mov (with mp4), with
# its default options (paranoid checks on) and a 512-byte block size, over the whole space
# of the image as a disk without a partition table; foremost to jpg, bmp, ole, zip, pdf, rar
# and mov. "intact" counts the files of those families placed in the image (by its
# manifest) of which a byte-identical copy was recovered.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUARROW_BUILD_DIR:-$root/build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-deepscan-bench}
image=${1:-${QUARROW_BENCH_IMAGE:-$work/deepscan-1g.img}}
runs=${QUARROW_BENCH_RUNS:-3}
many=${QUARROW_BENCH_MANY:-1}
types=${QUARROW_BENCH_TYPES:-default}
qargs=()
foremost_types=jpg,bmp,ole,zip,pdf,rar,mov
photorec_cmd="partition_none,options,paranoid,blocksize,512,fileopt,everything,disable,jpg,enable,bmp,enable,"
photorec_cmd+="doc,enable,zip,enable,pdf,enable,rar,enable,mov,enable,wholespace,search"
if [[ $types == all ]]; then
  qargs=(--types all)
  foremost_types=all
  photorec_cmd="partition_none,options,paranoid,blocksize,512,fileopt,everything,enable,wholespace,search"
fi
mkdir -p "$work"
image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")

if [[ -d /dev/shm && -w /dev/shm ]]; then
  out=/dev/shm/quarrow-deepscan-bench-out.$$
else
  out=$work/out.$$
fi
mkdir -p "$out"
trap 'rm -rf "$out"' EXIT

command -v python3 >/dev/null || { echo "bench_deepscan.sh: python3 is needed" >&2; exit 1; }
missing=()
have() { command -v "$1" >/dev/null 2>&1; }
have hyperfine || missing+=("hyperfine (package hyperfine; a plain timing loop is used instead)")
[[ -x /usr/bin/time ]] || missing+=("/usr/bin/time (package time; no memory figures)")
have photorec || missing+=("photorec (package testdisk; PhotoRec is left out)")
have foremost || missing+=("foremost (package foremost; foremost is left out)")
for m in "${missing[@]}"; do echo "bench_deepscan.sh: missing $m" >&2; done

# quarrow-cli: brought up to date in an existing build folder, else built there.
if [[ -f "$build/build.ninja" ]]; then
  ninja -C "$build" quarrow-cli >/dev/null
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARROW_BUILD_GUI=OFF \
    -DQUARROW_BUILD_TESTS=OFF -DQUARROW_BUILD_BENCH=OFF >/dev/null
  ninja -C "$build" quarrow-cli >/dev/null
fi
cli=$build/quarrow-cli

if [[ ! -f "$image" ]]; then
  python3 "$root/bench/make_deepscan_image.py" "$image"
fi
manyimage=$work/deepscan-1g-many.img
if [[ "$many" != 0 && ! -f "$manyimage" ]]; then
  python3 "$root/bench/make_deepscan_image.py" "$manyimage" --count 20000 --max-file-bytes 32768 --seed 2
fi
bytes=$(stat -c %s "$image")

cd "$out"
results=$out/results.tsv
: >"$results"

# time_command NAME PREPARE COMMAND...: runs COMMAND $runs times (PREPARE through the shell
# before each run, unless empty), stdout and stderr to /dev/null; appends NAME and the median
# seconds to the results.
time_command() {
  local name=$1 prepare=$2
  shift 2
  if have hyperfine; then
    local args=(--runs "$runs" --style basic --export-json "$out/$name.json" -n "$name")
    if [[ -n "$prepare" ]]; then
      args+=(--prepare "$prepare")
    else
      # No shell in between: a shell's start-up would be a noticeable part of a 50 ms run.
      args+=(-N --warmup 1)
    fi
    local cmd
    printf -v cmd '%q ' "$@"
    hyperfine "${args[@]}" "$cmd" >&2
    python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print("%s\t%.6f" % (sys.argv[2], r["median"]))' \
      "$out/$name.json" "$name" >>"$results"
  else
    local times=() t0 t1 k
    for ((k = 0; k < runs; k++)); do
      [[ -z "$prepare" ]] || bash -c "$prepare"
      t0=$(date +%s%N)
      "$@" >/dev/null 2>&1
      t1=$(date +%s%N)
      times+=($((t1 - t0)))
    done
    printf '%s\n' "${times[@]}" | sort -n |
      python3 -c 'import sys; v=[int(x) for x in sys.stdin]; print("%s\t%.6f" % (sys.argv[1], v[len(v)//2]/1e9))' "$name" >>"$results"
  fi
}

echo "== machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(free -g | awk '/Mem:/{print $2}') GiB"
echo "== image: $image ($bytes bytes)"
echo "== load before: $(uptime)"
# Warm the page cache.
cat "$image" >/dev/null
cat "$image" >/dev/null

time_command cat "" cat "$image"
time_command quarrow "" "$cli" deepscan "$image" "${qargs[@]}"
time_command quarrow_to "rm -rf $out/quarrow-to" "$cli" deepscan "$image" "${qargs[@]}" --to "$out/quarrow-to"
if have photorec; then
  time_command photorec "rm -rf $out/photorec && mkdir -p $out/photorec" \
    photorec /log /d "$out/photorec/recup_dir" /cmd "$image" "$photorec_cmd"
fi
if have foremost; then
  time_command foremost "rm -rf $out/foremost" \
    foremost -t "$foremost_types" -i "$image" -o "$out/foremost" -Q
fi
echo "== load after: $(uptime)"

# What each tool recovered (from the last timed run; quarrow's list from one more run).
"$cli" deepscan "$image" "${qargs[@]}" --json >"$out/quarrow.jsonl" 2>/dev/null

# Peak resident memory.
rss=$out/rss.tsv
: >"$rss"
peak() { # NAME COMMAND...
  local name=$1
  shift
  [[ -x /usr/bin/time ]] || return 0
  /usr/bin/time -v "$@" >/dev/null 2>"$out/time.txt" || true
  echo -e "$name\t$(awk -F': ' '/Maximum resident set size/{print $2}' "$out/time.txt")" >>"$rss"
}
peak "quarrow-cli deepscan, 1 GiB image" "$cli" deepscan "$image" "${qargs[@]}"
peak "quarrow-cli deepscan, first MiB only (--last 2047)" "$cli" deepscan "$image" --last 2047
if [[ "$many" != 0 ]]; then
  peak "quarrow-cli deepscan, 1 GiB image of 20,000 files" "$cli" deepscan "$manyimage"
  "$cli" deepscan "$manyimage" --json 2>/dev/null | wc -l >"$out/many.count"
fi
if have photorec; then
  rm -rf "$out/photorec-rss" && mkdir -p "$out/photorec-rss"
  peak "photorec, 1 GiB image" photorec /log /d "$out/photorec-rss/recup_dir" /cmd "$image" "$photorec_cmd"
  rm -rf "$out/photorec-rss"
fi
if have foremost; then
  peak "foremost, 1 GiB image" foremost -t "$foremost_types" -i "$image" -o "$out/foremost-rss" -Q
  rm -rf "$out/foremost-rss"
fi

python3 - "$image" "$bytes" "$out" "$types" <<'PY'
import hashlib, json, os, sys
image, size, out, types = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
times = dict(l.rstrip('\n').split('\t') for l in open(os.path.join(out, 'results.tsv')))
times = {k: float(v) for k, v in times.items()}
manifest = None
if os.path.isfile(image + '.json'):
    manifest = json.load(open(image + '.json'))
wanted = {e['sha256'] for e in manifest['files'] if e['default_type'] or types == 'all'} if manifest else set()


def tree_files(d, skip):
    found = []
    for base, _, names in os.walk(d):
        found += [os.path.join(base, n) for n in names if n not in skip]
    return found


def intact(paths):
    if not manifest:
        return '-'
    got = set()
    for p in paths:
        with open(p, 'rb') as f:
            got.add(hashlib.sha256(f.read()).hexdigest())
    return '%d/%d' % (len(wanted & got), len(wanted))


found = {}
listed = [json.loads(l) for l in open(os.path.join(out, 'quarrow.jsonl'))]
found['quarrow'] = (len(listed), '-')
if manifest:
    placed = {e['sector']: e for e in manifest['files'] if e['default_type'] or types == 'all'}
    at = sum(1 for f in listed if f['unit'] in placed)
    exact = sum(1 for f in listed if f['unit'] in placed and f['size'] == placed[f['unit']]['size'])
    found['quarrow'] = (len(listed), '%d at a placed file\'s sector, %d of them the exact size' % (at, exact))
if 'quarrow_to' in times:
    paths = tree_files(os.path.join(out, 'quarrow-to'), set())
    found['quarrow_to'] = (len(paths), intact(paths))
if 'photorec' in times:
    paths = tree_files(os.path.join(out, 'photorec'), {'report.xml'})
    found['photorec'] = (len(paths), intact(paths))
if 'foremost' in times:
    paths = tree_files(os.path.join(out, 'foremost'), {'audit.txt'})
    found['foremost'] = (len(paths), intact(paths))
found['cat'] = ('', '')

labels = {'cat': 'cat IMAGE > /dev/null', 'quarrow': 'quarrow-cli deepscan IMAGE (list only)',
          'quarrow_to': 'quarrow-cli deepscan IMAGE --to TMPFS', 'photorec': 'photorec /cmd IMAGE ... search',
          'foremost': 'foremost -t ... -i IMAGE -o TMPFS -Q'}
if manifest:
    print('== manifest: %d files placed, %d of the default types' %
          (len(manifest['files']), sum(e['default_type'] for e in manifest['files'])))
print('\n| command | median s | MB/s | files | intact / placed of the %s |' % ('every type' if types == 'all' else 'default types'))
print('|---|---|---|---|---|')
for k, label in labels.items():
    if k in times:
        n, extra = found.get(k, ('', ''))
        if k == 'quarrow' and manifest:
            extra = found['quarrow'][1]
        print('| %s | %.3f | %.0f | %s | %s |' % (label, times[k], size / times[k] / 1e6, n, extra))


def rate(k):
    return size / times[k] if k in times else None


print()
q, c = rate('quarrow'), rate('cat')
print('quarrow / cat: %.0f%% (goal: at least 70%%)%s' % (100 * q / c, '' if q >= 0.7 * c else '  NOT MET'))
if 'quarrow_to' in times:
    print('quarrow --to / cat: %.0f%%' % (100 * rate('quarrow_to') / c))
if 'photorec' in times:
    p = rate('photorec')
    goal = 3 if types == 'all' else 2
    print('quarrow / photorec: %.1fx (goal: at least %dx)%s' % (q / p, goal, '' if q >= goal * p else '  NOT MET'))
    print('quarrow --to / photorec: %.1fx' % (rate('quarrow_to') / p))
if 'foremost' in times:
    print('quarrow / foremost: %.1fx' % (q / rate('foremost')))

rss_path = os.path.join(out, 'rss.tsv')
if os.path.getsize(rss_path):
    print('\n| peak RSS | KiB |')
    print('|---|---|')
    for l in open(rss_path):
        name, kib = l.rstrip('\n').split('\t')
        print('| %s | %s |' % (name, kib))
many = os.path.join(out, 'many.count')
if os.path.isfile(many):
    print('(the 20,000-file image: quarrow-cli found %s files)' % open(many).read().strip())
PY
