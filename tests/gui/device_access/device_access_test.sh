#!/usr/bin/env bash
# Reading a disk as a user who may not open its device. The "device" is a FAT image this
# user cannot read (mode 0600 owned by root, the programs under test run as nobody; run by
# an ordinary user, the image's mode is 000). A private bus stands in for the system bus; a
# stand-in UDisks2 service (fake_udisks2.py, running as the test's own user) hands out a
# read-only descriptor of the image, or refuses.
#
#   - the GUI lists the volume read through the service's descriptor, asking it once;
#   - a refusal, and a bus without the service, give one message naming the device;
#   - the command line, which never asks the service, prints the same message;
#   - the image is unchanged.
#
#   device_access_test.sh GUI_TEST_PROGRAM QUARROW_CLI
set -euo pipefail
gui=$1
cli=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quarrow-device-access.XXXXXX")
chmod 755 "$scratch"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

if [[ $(id -u) -eq 0 ]]; then
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  device_mode=600
else
  as_user=()
  device_mode=000
fi
mkdir -p "$scratch/config" "$scratch/tmp" "$scratch/runtime" "$scratch/home"
chmod 700 "$scratch/runtime"
[[ $(id -u) -eq 0 ]] && chown 65534:65534 "$scratch/config" "$scratch/tmp" "$scratch/runtime" "$scratch/home"

# The device: a FAT12 volume labelled UDTEST with HELLO.TXT and a deleted GONE.TXT.
device=$scratch/disk0.img
truncate -s 4M "$device"
mkfs.fat -n UDTEST "$device" >/dev/null
echo hello >"$scratch/hello.txt"
echo "gone but not forgotten" >"$scratch/gone.txt"
mcopy -i "$device" "$scratch/hello.txt" ::HELLO.TXT
mcopy -i "$device" "$scratch/gone.txt" ::GONE.TXT
mdel -i "$device" ::GONE.TXT
before=$(sha256sum <"$device")
chmod "$device_mode" "$device"

# The private bus: anyone may connect (the programs under test run as another user).
cat >"$scratch/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=$scratch/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$scratch/bus.conf" --nofork --print-address=3 3>"$scratch/address" 2>"$scratch/bus.err" &
pids+=($!)
for ((i = 0; i < 100; i++)); do
  [[ -s $scratch/address ]] && break
  sleep 0.05
done
[[ -s $scratch/address ]] || fail "the private bus did not start"
address=$(head -n1 "$scratch/address")

service=
start_service() {  # grant | refuse
  : >"$scratch/service.log"
  # The service opens the device at its start, before its permissions are taken away.
  chmod 600 "$device"
  /usr/bin/python3 "$here/fake_udisks2.py" --address "$address" --device "$device" --log "$scratch/service.log" \
    "--$1" >"$scratch/service.out" 2>&1 &
  service=$!
  pids+=("$service")
  for ((i = 0; i < 200; i++)); do
    grep -q READY "$scratch/service.out" 2>/dev/null && break
    kill -0 "$service" 2>/dev/null || { cat "$scratch/service.out"; fail "the stand-in service ended"; }
    sleep 0.05
  done
  grep -q READY "$scratch/service.out" || fail "the stand-in service did not start"
  chmod "$device_mode" "$device"
}
stop_service() {
  kill "$service" 2>/dev/null || true
  wait "$service" 2>/dev/null || true
}
run_gui() {  # test function
  "${as_user[@]}" env -i PATH="$PATH" HOME="$scratch/home" TMPDIR="$scratch/tmp" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/runtime" QT_QPA_PLATFORM=offscreen QUARROW_NO_SYSTEM_DEVICES=1 \
    QUARROW_TEST_DEVICE="$device" DBUS_SYSTEM_BUS_ADDRESS="$address" timeout 120 "$gui" "$1" ||
    fail "$1"
}

echo "== the service hands out a descriptor"
start_service grant
run_gui listsTheVolumeThroughTheService
opens=$(grep -c '^OpenDevice' "$scratch/service.log" || true)
[[ $opens -eq 1 ]] || { cat "$scratch/service.log"; fail "the service was asked $opens times for one device"; }
grep -q "^OpenDevice mode=r no_user_interaction=0$" "$scratch/service.log" ||
  { cat "$scratch/service.log"; fail "not asked read-only with interactive authorization"; }

echo "== the command line never asks the service: it names the device and how to get access"
status=0
"${as_user[@]}" env -i PATH="$PATH" HOME="$scratch/home" TMPDIR="$scratch/tmp" XDG_CONFIG_HOME="$scratch/config" \
  DBUS_SYSTEM_BUS_ADDRESS="$address" "$cli" list "$device" >"$scratch/cli.out" 2>"$scratch/cli.err" || status=$?
[[ $status -eq 2 ]] || { cat "$scratch/cli.err"; fail "quarrow-cli list ended with $status, not 2"; }
expected="quarrow-cli: $device: permission denied. Reading this file needs read access to it: ask its owner to grant it (chmod, chgrp), or run quarrow-cli with sudo."
[[ $(cat "$scratch/cli.err") == "$expected" ]] || { cat "$scratch/cli.err"; fail "quarrow-cli's message"; }
[[ $(grep -c '^OpenDevice' "$scratch/service.log" || true) -eq 1 ]] || fail "quarrow-cli asked the service"
stop_service

echo "== the service refuses"
start_service refuse
run_gui refusalNamesTheDeviceAndTheReason
stop_service

echo "== no service on the bus"
run_gui withoutTheServiceNamesTheDevice

chmod 600 "$device"
[[ $(sha256sum <"$device") == "$before" ]] || fail "the device changed"
echo "PASS"
