#!/usr/bin/env bash
# Sets up, builds and starts the program. Arguments (disk image files) go to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUARROW_BUILD_DIR:-$root/build}"
exec "$build/quarrow" "$@"
