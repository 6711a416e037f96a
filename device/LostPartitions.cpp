#include "device/LostPartitions.h"

#include <algorithm>
#include <cstring>

#include "exfat/ExFATLayout.h"
#include "fat/FATLayout.h"
#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"

namespace {
// Little-endian fields of the boot sector at fixed offsets: a field past the sector does
// not compile.
template <size_t Offset>
uint16_t LE16(BootSectorBytes b) {
  return bytes::RawLE16(b.subspan<Offset, 2>().data());
}
template <size_t Offset>
uint32_t LE32(BootSectorBytes b) {
  return bytes::RawLE32(b.subspan<Offset, 4>().data());
}
template <size_t Offset>
uint64_t LE64(BootSectorBytes b) {
  return bytes::RawLE64(b.subspan<Offset, 8>().data());
}

constexpr char kNtfsOemId[] = "NTFS    ";
// The search moves in sectors of this many bytes.
constexpr uint64_t kScanSector = 512;
}  // namespace

bool IsNtfsBootSector(BootSectorBytes b) {
  using namespace ntfslayout;
  if (b[kJump] != kJumpShort || LE16<kSignature>(b) != kBootSignature) return false;
  const auto oem = b.subspan<kOemId, sizeof kNtfsOemId - 1>();
  // The byte after the name is the low byte of the sector size, 0 for both sizes taken.
  if (!std::equal(oem.begin(), oem.end(), kNtfsOemId) || b[kBytesPerSector] != 0) return false;
  uint16_t bps = LE16<kBytesPerSector>(b);
  if (bps != 512 && bps != 1024) return false;
  switch (b[kSectorsPerCluster]) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128: break;
    default: return false;
  }
  const auto zero = b.subspan<kUnusedZero, kUnusedZeroSize>();
  return LE32<kUnusedMarker>(b) == kUnusedMarkerValue && std::all_of(zero.begin(), zero.end(), [](uint8_t v) { return v == 0; });
}

bool IsFatBootSector(BootSectorBytes b) {
  using namespace fatlayout;
  if (b[kJump] != kJumpShort || LE16<kSignature>(b) != kBootSignature) return false;
  uint16_t bps = LE16<kBytesPerSector>(b);
  return bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
}

bool IsExFatBootSector(BootSectorBytes b) {
  using namespace exfatlayout;
  if (LE16<kSignature>(b) != kBootSignature || !std::equal(kJumpBytes, kJumpBytes + 3, b.begin())) return false;
  const auto name = b.subspan<kFileSystemName, sizeof kName - 1>();
  if (!std::equal(name.begin(), name.end(), kName)) return false;
  const auto zero = b.subspan<kMustBeZero, kMustBeZeroSize>();
  if (!std::all_of(zero.begin(), zero.end(), [](uint8_t v) { return v == 0; })) return false;
  const unsigned sectorShift = b[kBytesPerSectorShift], clusterShift = b[kSectorsPerClusterShift];
  return sectorShift >= kMinSectorShift && sectorShift <= kMaxSectorShift && clusterShift <= kMaxClusterShift - sectorShift;
}

uint64_t LostVolumeSectors(BootSectorBytes b, bool ntfs) {
  if (IsExFatBootSector(b)) {
    // The volume length counts sectors of 2^shift bytes.
    uint64_t sectors = LE64<exfatlayout::kVolumeLength>(b);
    const unsigned scale = 1u << (b[exfatlayout::kBytesPerSectorShift] - 9);
    if (scale > 1 && sectors <= UINT64_MAX / scale) sectors *= scale;
    return sectors ? sectors : 1;
  }
  uint64_t sectors;
  if (ntfs) {
    sectors = LE64<ntfslayout::kTotalSectors>(b);
  } else {
    uint32_t total16 = LE16<fatlayout::kTotalSectors16>(b);
    sectors = total16 ? total16 : LE32<fatlayout::kTotalSectors32>(b);
  }
  // Counts are in the volume's sectors; the scan moves in 512-byte sectors. Both file
  // systems keep the sector size at the same offset.
  static_assert(ntfslayout::kBytesPerSector == fatlayout::kBytesPerSector);
  uint64_t scale = LE16<fatlayout::kBytesPerSector>(b) / kScanSector;
  if (scale > 1 && sectors <= UINT64_MAX / scale) sectors *= scale;
  return sectors ? sectors : 1;
}
