#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed programs from there:
# bin/ holds the programs and nothing else, both answer --version, a FAT image is listed,
# and the programs read their data from PREFIX/share/quarrow: a status word changed in the
# installed english.ini shows in the listing. The desktop entry and the AppStream file
# installed beside them validate.
#
#   install_test.sh BUILD_DIR VERSION gui|nogui
set -euo pipefail

build=$1 version=$2 gui=$3
export LC_ALL=C.UTF-8 TZ=UTC
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }

# Nothing but the programs in bin/.
expected="quarrow-cli"
[[ $gui == gui ]] && expected="quarrow quarrow-cli"
actual=$(cd "$prefix/bin" && ls -A | sort | xargs)
[[ $actual == "$expected" ]] || fail "bin/ holds '$actual', expected '$expected'"

data=$prefix/share/quarrow
files=(Language/english.ini Language/french.ini Language/german.ini Language/spanish.ini)
[[ $gui == gui ]] && files+=(Media/index.htm Media/guide.htm)
for f in "${files[@]}"; do
  [[ -f $data/$f ]] || fail "missing $data/$f"
done

# --version, without a display for the GUI.
out=$("$prefix/bin/quarrow-cli" --version)
[[ $out == "quarrow-cli $version" ]] || fail "quarrow-cli --version printed '$out'"
if [[ $gui == gui ]]; then
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/quarrow" --version)
  [[ $out == "quarrow $version" ]] || fail "quarrow --version printed '$out'"
fi

# A small FAT volume with one file kept and one deleted.
img=$tmp/card.img
bash "$(dirname "$0")/make_card_image.sh" "$img"

# The listing, from another folder so that nothing is found relative to the working
# directory; the installed english.ini names existing files differently than the build.
sed -i 's/^IDS_FILE_PROERITIES_STATUS_EXIST=.*/IDS_FILE_PROERITIES_STATUS_EXIST=Existing (share)/' \
  "$data/Language/english.ini"
(cd / && "$prefix/bin/quarrow-cli" list "$img" --all --json) >"$tmp/list.json"
/usr/bin/python3 - "$tmp/list.json" <<'PY' || fail "listing: $(cat "$tmp/list.json")"
import json, sys
items = {i["path"]: i for i in map(json.loads, open(sys.argv[1]))}
keep = items.get("keep.txt")
assert keep and not keep["deleted"] and keep["status"] == "Existing (share)", keep
assert keep["status_code"] == "existing", keep
gone = [i for i in items.values() if i["deleted"] and not i["dir"]]
assert len(gone) == 1 and gone[0]["size"] == 14 and gone[0]["status_code"] == "good", gone
PY

if [[ $gui == gui ]]; then
  desktop-file-validate "$prefix/share/applications/example.tarnwell.quarrow.desktop"
  appstreamcli validate --no-net --pedantic "$prefix/share/metainfo/example.tarnwell.quarrow.metainfo.xml" >"$tmp/as.log" ||
    { cat "$tmp/as.log"; fail "appstreamcli validate"; }
  for size in 16x16 22x22 24x24 32x32 48x48 64x64 128x128 256x256; do
    [[ -s $prefix/share/icons/hicolor/$size/apps/quarrow.png ]] || fail "no $size icon"
  done
  [[ -s $prefix/share/icons/hicolor/scalable/apps/quarrow.svg ]] || fail "no scalable icon"
  [[ -s $prefix/share/man/man1/quarrow.1.gz ]] || fail "no quarrow(1)"
fi
[[ -s $prefix/share/man/man1/quarrow-cli.1.gz ]] || fail "no quarrow-cli(1)"
[[ -s $prefix/share/bash-completion/completions/quarrow-cli ]] || fail "no bash completion"
echo "install layout OK"
