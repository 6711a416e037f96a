#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUARROW_BUILD_DIR:-$root/build}"
cd "$build"
ctest --output-on-failure -j2 --timeout 900
