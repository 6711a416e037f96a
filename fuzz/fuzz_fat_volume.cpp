// A FAT volume over arbitrary bytes (at most 1 MiB), read the way the program reads one:
// opened as a lost volume is (the first 512 bytes are its boot sector), its folder tree
// loaded folder by folder, every file's contents written out, then the lost-folder search
// with every type enabled, and the folders it finds loaded and read in turn.
//
// The seeds in corpus/fuzz_fat_volume are the fixture images (tests/fixtures) cut down: the
// first 256 KiB of fat12.img and fat16.img, the first 128 KiB of disk.img's FAT12 partition,
// and fat32.img and reformatted.img with their FATs shortened to their first sectors (boot
// sector fields changed to match) and their data cut after 256 KiB in all.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzWalk.h"
#include "deepscan/FileTypes.h"
#include "fat/FATDirectory.h"

namespace {
constexpr size_t kMaxInput = 1u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512);
  auto handle = CRawDevice::FromMemory(bytes);
  CFATDriver fat;
  fat.m_hDevice = handle;
  if (!fat.Attach(handle, bytes.data(), 0) || !fat.Open(0, DRIVE_FIXED, u"fuzz", true)) return 0;

  // "LostFiles" would start a scan of its own when loaded without force: mark it loaded.
  if (fat.m_pLostFolder) fat.m_pLostFolder->m_bLoaded = true;
  WalkTree(fat.m_pRoot, nullptr, {});

  // The lost-folder search over the whole volume as its boot sector claims it: the scan
  // itself stops at the end of what the device holds.
  fat.m_bScanDir = true;
  SetAllScanFlags(fat, true);
  uint64_t found = 0;
  fat.ScanUnits(nullptr, found);
  if (fat.m_pLostFolder) WalkTree(fat.m_pLostFolder, nullptr, {});
  return 0;
}
