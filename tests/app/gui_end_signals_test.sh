#!/usr/bin/env bash
# The GUI ends on SIGTERM (kill, shutdown), SIGHUP (logout) and SIGINT (Ctrl-C in its
# terminal) as on Quit: it exits by itself within seconds, and the temporary files it
# reserved on start are gone.
#
#   gui_end_signals_test.sh QUARROW
set -euo pipefail
gui=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-end-signals.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

reserved() { find "$scratch/tmp" -maxdepth 1 -name '~DF*.tmp' | wc -l; }

for sig in TERM HUP INT; do
  rm -rf "$scratch/tmp" "$scratch/config"
  mkdir -p "$scratch/tmp" "$scratch/config"
  TMPDIR=$scratch/tmp XDG_CONFIG_HOME=$scratch/config QT_QPA_PLATFORM=offscreen QUARROW_NO_SYSTEM_DEVICES=1 \
    "$gui" >"$scratch/out" 2>&1 &
  pid=$!
  for ((i = 0; i < 300 && $(reserved) < 27; i++)); do sleep 0.1; done
  if [[ $(reserved) -lt 27 ]]; then
    kill -KILL "$pid" 2>/dev/null || true
    echo "SIG$sig: the GUI did not reserve its temporary files ($(reserved) of 27)"; cat "$scratch/out"; exit 1
  fi
  # Settle into the event loop before the signal arrives.
  sleep 0.5
  kill -"$sig" "$pid"
  for ((i = 0; i < 100 && $(kill -0 "$pid" 2>/dev/null && echo 1 || echo 0) == 1; i++)); do sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    echo "SIG$sig: the GUI was still running 10 s after the signal"; exit 1
  fi
  status=0
  wait "$pid" || status=$?
  if [[ $(reserved) -ne 0 ]]; then
    echo "SIG$sig: $(reserved) temporary files were left behind"; exit 1
  fi
  echo "SIG$sig: ended with status $status, no temporary file left"
done
