// The deep scan over arbitrary bytes: the input is a small disk image (padded to whole
// 512-byte sectors, at least three, and cut at 256 KiB), seen through a virtual volume with
// every type flag set. The whole unit scan runs, so every sector meets the signature
// matcher and every sector that matches meets its format's extent rule and the unit
// stream; then the file at unit 2 is measured directly, and every carved file has its
// header checked again and is read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "deepscan/FileTypes.h"
#include "deepscan/VirtualDriver.h"
#include "tree/DirEntry.h"
#include "FuzzWalk.h"

namespace {
constexpr size_t kUnit = 512;
constexpr size_t kMaxImage = 256u << 10;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxImage) size = kMaxImage;
  std::vector<uint8_t> bytes(data, data + size);
  size_t padded = (bytes.size() + kUnit - 1) / kUnit * kUnit;
  if (padded < 3 * kUnit) padded = 3 * kUnit;
  bytes.resize(padded, 0);

  DiskInfo info;
  info.szProduct = u"fuzz";
  info.nDriveType = DRIVE_FIXED;
  info.nBytesPerSector = kUnit;
  info.nSectorsPerCluster = 1;
  info.nSectorCount = bytes.size() / kUnit;
  info.nSectorCount2 = info.nSectorCount;
  std::vector<uint8_t> unit2(bytes.begin() + 2 * kUnit, bytes.begin() + 3 * kUnit);

  CVirtualDriver volume;
  if (!volume.InitFromDisk(CRawDevice::FromMemory(std::move(bytes)), info)) return 0;
  if (!volume.Open(0, DRIVE_FIXED, u"fuzz", true)) return 0;
  SetAllScanFlags(volume, true);

  uint64_t found = 0;
  (void)volume.ScanUnits(nullptr, found);

  std::u16string extension;
  uint64_t length = 0;
  (void)volume.MeasureFile(2, unit2.data(), kUnit, extension, length);

  if (volume.m_pLostFolder) {
    for (const auto& child : volume.m_pLostFolder->m_children) {
      auto* file = static_cast<CVirtualFile*>(child.get());
      (void)volume.CheckFileHeader(file->m_nStartUnit, file);
      // Reading back stops at the device's end for a file whose measured length runs
      // past it.
      CCountingOutput out;
      (void)file->WriteContent(out, nullptr, 0);
    }
  }
  return 0;
}
