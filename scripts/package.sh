#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB), checks it with lintian, installs it on this
# machine with apt-get and runs the installed programs: --version, a listing of a small FAT
# image, and the validators of the installed desktop entry and AppStream file.
# Needs root or sudo (apt-get install). Leaves build/quarrow_VERSION_ARCH.deb installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUARROW_BUILD_DIR:-$root/build}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

cd "$build"
rm -f quarrow_*.deb
cpack -G DEB >cpack.log || { cat cpack.log; exit 1; }
debs=(quarrow_*.deb)
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
version=${version%-*}  # the program's version, without the packaging revision
echo "== $deb"
dpkg-deb -f "$deb" Package Version Architecture Depends Recommends
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$'

echo "== lintian"
lintian --fail-on error "$deb"

echo "== installing"
# --reinstall: a package of the same version installed before is replaced by this build.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --reinstall "./$deb"

echo "== the installed programs"
out=$(/usr/bin/quarrow-cli --version)
echo "$out"
[ "$out" = "quarrow-cli $version" ] || { echo "expected quarrow-cli $version" >&2; exit 1; }
out=$(env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/quarrow --version)
echo "$out"
[ "$out" = "quarrow $version" ] || { echo "expected quarrow $version" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$root/tests/packaging/make_card_image.sh" "$tmp/card.img"
(cd / && /usr/bin/quarrow-cli list "$tmp/card.img" --json) | tee "$tmp/list.json"
/usr/bin/python3 - "$tmp/list.json" <<'PY'
import json, sys
items = [json.loads(line) for line in open(sys.argv[1])]
files = [i for i in items if not i["dir"]]
assert len(files) == 1 and files[0]["deleted"] and files[0]["size"] == 14, files
PY

echo "== validating the installed desktop entry and AppStream file"
desktop-file-validate /usr/share/applications/example.tarnwell.quarrow.desktop
# --no-net: the project's web address is a placeholder that no server answers yet.
appstreamcli validate --no-net /usr/share/metainfo/example.tarnwell.quarrow.metainfo.xml
echo "== package OK: $deb"
