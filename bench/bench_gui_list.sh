#!/usr/bin/env bash
# The file list's speed on a folder of 200,000 items (see bench/gui/bench_gui_list.cpp):
#
#   bench/bench_gui_list.sh            (QUARROW_BUILD_DIR defaults to build)
#
# Makes the image with bench/make_ntfs_flat_image.sh when absent (root, ntfs-3g).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${QUARROW_BUILD_DIR:-$here/../build}
work=${QUARROW_BENCH_DIR:-${TMPDIR:-/tmp}/quarrow-gui-bench}
"$here/make_ntfs_flat_image.sh" "$work"
ninja -C "$build" bench_gui_list >/dev/null
for run in 1 2 3; do
  echo "--- run $run"
  "$build/bench/bench_gui_list" "$work/ntfs-flat.img" Big
done
