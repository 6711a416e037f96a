// An exFAT volume over arbitrary bytes (at most 1 MiB), read the way the program reads one:
// the boot sector and entry-set parsers on the raw bytes, then the volume opened as a lost
// volume is (the first 512 bytes are its boot sector; the boot region's checksum must hold,
// or the backup's), its folder tree loaded folder by folder, every file's contents written
// out, then the lost-folder search with every type enabled, and the folders it finds loaded
// and read in turn.
//
// The seeds in corpus/fuzz_exfat_volume are small volumes made the way the fixtures are
// (tests/fixtures/make_exfat_images.sh): mkfs.exfat with 512-byte clusters and 4 KiB
// alignment, files written, fragmented and deleted through exfat-fuse.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzWalk.h"
#include "deepscan/FileTypes.h"
#include "exfat/ExFATDirectory.h"

namespace {
constexpr size_t kMaxInput = 1u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512);

  // The pure parsers on the input itself: the boot sector, and an entry set at every
  // 32-byte boundary.
  ExFatGeometry g;
  (void)ParseExFatGeometry(ExFatBootBytes(bytes.data(), 512), g);
  (void)VerifyExFatBootRegion(bytes, 512);
  ExFatEntrySet set;
  for (size_t at = 0; at + 32 <= bytes.size(); at += 32)
    (void)ParseExFatEntrySet(std::span<const uint8_t>(bytes).subspan(at), set);

  auto handle = CRawDevice::FromMemory(bytes);
  CExFATDriver volume;
  volume.m_hDevice = handle;
  if (!volume.Attach(handle, bytes.data(), 0) || !volume.Open(0, DRIVE_FIXED, u"fuzz", true)) return 0;
  if (volume.m_pLostFolder) volume.m_pLostFolder->m_bLoaded = true;
  WalkTree(volume.m_pRoot, nullptr, {});

  volume.m_bScanDir = true;
  SetAllScanFlags(volume, true);
  uint64_t found = 0;
  volume.ScanUnits(nullptr, found);
  if (volume.m_pLostFolder) WalkTree(volume.m_pLostFolder, nullptr, {});
  std::vector<CLogicalDriver::FirstUnitItem> items;
  volume.CollectFirstUnits(items);
  return 0;
}
