#!/usr/bin/env bash
# Installs what the build, the tests and the package (scripts/package.sh) need on Debian 12,
# only what is missing.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  libblkid-dev libewf-dev libdeflate-dev libvhdi-dev libqcow-dev libvmdk-dev libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-qpa-plugins qt6-image-formats-plugins qt6-translations-l10n libraw-dev zlib1g-dev fonts-dejavu-core
  libcli11-dev nlohmann-json3-dev libfmt-dev libssl-dev
  dosfstools mtools ntfs-3g fdisk fuse3 python3 gzip sleuthkit exfatprogs exfat-fuse mount ewf-tools qemu-utils
  libfuse3-dev gddrescue
  dbus-daemon python3-dbus python3-gi
  librsvg2-bin desktop-file-utils appstream dpkg-dev file lintian
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
