#!/usr/bin/env bash
# Sets up, builds and starts the program. Arguments go to the program.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
build="${QUARROW_BUILD_DIR:-$root/build}"
if [ -x "$build/quarrow" ]; then
  exec "$build/quarrow" "$@"
fi
if [ $# -eq 0 ]; then set -- devices; fi
exec "$build/quarrow-cli" "$@"
