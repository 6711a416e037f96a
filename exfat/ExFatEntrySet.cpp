// The boot region and entry-set parsers (exfat/ExFatEntrySet.h).
//
// Format notes and decisions:
// - The boot sector is read as 512 bytes whatever its sector size; its checksum covers
//   eleven whole sectors and is checked by the volume once it knows the sector size.
// - Geometry: FAT after the two boot regions (sector 24 on), the FATs before the cluster
//   heap, the heap inside the volume, 4 bytes per cluster in the FAT (clusters 0 and 1
//   included). Every sum and product is checked; a boot sector that wraps is refused.
// - A set's secondaries must share the File entry's in-use state: a deleted set is not
//   allowed to swallow a live set that was written after it, and a live set's entries are
//   all in use. Benign secondaries after the name entries are covered by the checksum and
//   otherwise passed over.
// - A name is taken as the name entries hold it, NameLength characters: exFAT keeps every
//   character of a deleted name.
#include "exfat/ExFatEntrySet.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/Checked.h"
#include "platform/LocalTime.h"

using namespace exfatlayout;
using namespace exfatdir;

ExFatBootCheck CheckExFatBootSector(ExFatBootBytes b) {
  if (LE16<kSignature>(b) != kBootSignature || !std::equal(kJumpBytes, kJumpBytes + 3, b.begin()) ||
      std::memcmp(b.data() + kFileSystemName, kName, 8) != 0)
    return ExFatBootCheck::NoSignature;
  const auto zero = b.subspan<kMustBeZero, kMustBeZeroSize>();
  if (!std::all_of(zero.begin(), zero.end(), [](uint8_t v) { return v == 0; })) return ExFatBootCheck::NotZero;
  const unsigned sectorShift = b[kBytesPerSectorShift], clusterShift = b[kSectorsPerClusterShift];
  if (sectorShift < kMinSectorShift || sectorShift > kMaxSectorShift || clusterShift > kMaxClusterShift - sectorShift)
    return ExFatBootCheck::BadShift;
  return ExFatBootCheck::Ok;
}

ExFatBootCheck ParseExFatGeometry(ExFatBootBytes b, ExFatGeometry& g) {
  if (ExFatBootCheck c = CheckExFatBootSector(b); c != ExFatBootCheck::Ok) return c;
  g = ExFatGeometry{};
  g.nBytesPerSector = 1u << b[kBytesPerSectorShift];
  g.nSectorsPerCluster = 1u << b[kSectorsPerClusterShift];
  g.nBytesPerCluster = g.nBytesPerSector * g.nSectorsPerCluster;  // at most 2^25
  g.nVolumeLength = LE64<kVolumeLength>(b);
  g.nFatOffset = LE32<kFatOffset>(b);
  g.nFatLength = LE32<kFatLength>(b);
  g.nNumberOfFats = b[kNumberOfFats];
  g.nClusterHeapOffset = LE32<kClusterHeapOffset>(b);
  g.nClusterCount = LE32<kClusterCount>(b);
  g.nRootCluster = LE32<kFirstClusterOfRoot>(b);
  g.nSerial = LE32<kVolumeSerial>(b);
  g.nVolumeFlags = LE16<kVolumeFlags>(b);
  if (g.nNumberOfFats != 1 && g.nNumberOfFats != 2) return ExFatBootCheck::BadFatCount;
  // The FATs lie after both boot regions and before the heap; the heap inside the volume.
  const auto fatsEnd = checked::Add<uint64_t>(g.nFatOffset, g.nFatLength * g.nNumberOfFats);
  if (g.nFatOffset < 2 * kBootRegionSectors || g.nFatLength == 0 || !fatsEnd || *fatsEnd > g.nClusterHeapOffset)
    return ExFatBootCheck::BadLayout;
  if (g.nClusterCount == 0 || g.nClusterCount > kMaxClusterCount) return ExFatBootCheck::BadClusterCount;
  // The FAT holds an entry for every cluster, the two reserved ones included.
  const auto fatBytes = checked::Mul<uint64_t>(g.nFatLength, g.nBytesPerSector);
  if (!fatBytes || *fatBytes / 4 < g.nClusterCount + 2) return ExFatBootCheck::BadClusterCount;
  const auto heapSectors = checked::Mul<uint64_t>(g.nClusterCount, g.nSectorsPerCluster);
  const auto heapEnd = heapSectors ? checked::Add<uint64_t>(g.nClusterHeapOffset, *heapSectors) : std::nullopt;
  if (!heapEnd || *heapEnd > g.nVolumeLength) return ExFatBootCheck::BadLayout;
  // The volume's bytes must be countable in 64 bits.
  if (!checked::Mul<uint64_t>(g.nVolumeLength, g.nBytesPerSector)) return ExFatBootCheck::BadLayout;
  if (g.nRootCluster < kFirstCluster || g.nRootCluster > g.nClusterCount + 1) return ExFatBootCheck::BadRootCluster;
  return ExFatBootCheck::Ok;
}

uint32_t ExFatBootChecksum(std::span<const uint8_t> region, uint32_t bytesPerSector) {
  const size_t n = std::min<size_t>(region.size(), size_t(bytesPerSector) * kChecksumSector);
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i == kVolumeFlags || i == kVolumeFlags + 1 || i == kPercentInUse) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  return sum;
}

bool VerifyExFatBootRegion(std::span<const uint8_t> region, uint32_t bytesPerSector) {
  if (bytesPerSector < 4 || region.size() / bytesPerSector < kBootRegionSectors) return false;
  const uint32_t sum = ExFatBootChecksum(region, bytesPerSector);
  const uint8_t* words = region.data() + size_t(bytesPerSector) * kChecksumSector;
  for (uint32_t k = 0; k < bytesPerSector; k += 4)
    if (bytes::RawLE32(words + k) != sum) return false;
  return true;
}

uint16_t ExFatSetChecksum(std::span<const uint8_t> set, bool asInUse) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    uint8_t v = set[i];
    if (asInUse && i % kEntrySize == kType) v |= kInUse;
    sum = uint16_t(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + v);
  }
  return sum;
}

ExFatSetParse ParseExFatEntrySet(std::span<const uint8_t> entries, ExFatEntrySet& set) {
  const size_t available = entries.size() / kEntrySize;
  if (available == 0 || (entries[kType] & ~kInUse) != (kTypeFile & ~kInUse)) return ExFatSetParse::NotAFile;
  const ExFatEntrySet empty;
  set = empty;
  const ExFatEntryBytes file(entries.first<kEntrySize>());
  set.bDeleted = !(file[kType] & kInUse);
  const unsigned secondaries = file[kSecondaryCount];
  if (secondaries < kMinSecondaryCount) return ExFatSetParse::BadSecondaryCount;
  if (available < 1 + secondaries) return ExFatSetParse::Truncated;
  const uint8_t inUse = file[kType] & kInUse;
  for (unsigned k = 1; k <= secondaries; ++k) {
    const uint8_t type = entries[k * kEntrySize + kType];
    if ((type & kInUse) != inUse || !(type & kSecondary)) return ExFatSetParse::MixedState;
  }
  const ExFatEntryBytes stream(entries.subspan(kEntrySize).first<kEntrySize>());
  if ((stream[kType] | kInUse) != kTypeStream) return ExFatSetParse::NoStream;
  const unsigned nameLength = stream[kNameLength];
  unsigned nameEntries = 0;
  while (2 + nameEntries <= secondaries &&
         (entries[(2 + nameEntries) * kEntrySize + kType] | kInUse) == kTypeName && nameEntries < kMaxNameEntries)
    ++nameEntries;
  if (nameLength == 0 || nameLength > nameEntries * kCharsPerNameEntry) return ExFatSetParse::BadNameLength;
  set.strName.reserve(nameLength);
  for (unsigned i = 0; i < nameLength; ++i) {
    const size_t at = (2 + i / kCharsPerNameEntry) * kEntrySize + kNameChars + 2 * (i % kCharsPerNameEntry);
    set.strName.push_back(char16_t(bytes::RawLE16(entries.data() + at)));
  }
  set.nAttributes = LE16<kAttributes>(file);
  set.nCreateTime = LE32<kCreateTime>(file);
  set.nModifyTime = LE32<kModifyTime>(file);
  set.nAccessTime = LE32<kAccessTime>(file);
  set.nCreate10ms = file[kCreate10ms];
  set.nModify10ms = file[kModify10ms];
  set.nCreateUtcOffset = file[kCreateUtcOffset];
  set.nModifyUtcOffset = file[kModifyUtcOffset];
  set.nAccessUtcOffset = file[kAccessUtcOffset];
  set.nStreamFlags = stream[kStreamFlags];
  set.nValidDataLength = LE64<kValidDataLength>(stream);
  set.nFirstCluster = LE32<kStreamFirstCluster>(stream);
  set.nDataLength = LE64<kStreamDataLength>(stream);
  set.nEntries = 1 + secondaries;
  const auto whole = entries.first(size_t(set.nEntries) * kEntrySize);
  set.bChecksumOk = ExFatSetChecksum(whole, set.bDeleted) == LE16<kSetChecksum>(file);
  return ExFatSetParse::Ok;
}

bool ExFatTimeToUnix(uint32_t ts, uint8_t tenMs, uint8_t utcOffset, int64_t& t) {
  if (ts == 0) return false;
  const int second = int(ts & 0x1F) * 2, minute = int((ts >> 5) & 0x3F), hour = int((ts >> 11) & 0x1F);
  const int day = int((ts >> 16) & 0x1F), month = int((ts >> 21) & 0x0F), year = 1980 + int(ts >> 25);
  if (second > 58 || minute > 59 || hour > 23 || day < 1 || day > 31 || month < 1 || month > 12) return false;
  // 0-199 units of 10 ms: the whole seconds among them.
  const int extra = tenMs <= 199 ? tenMs / 100 : 0;
  struct tm tmv {};
  tmv.tm_year = year - 1900;
  tmv.tm_mon = month - 1;
  tmv.tm_mday = day;
  tmv.tm_hour = hour;
  tmv.tm_min = minute;
  tmv.tm_sec = second;
  if (utcOffset & 0x80) {
    // Bits 0-6: a signed count of 15-minute steps east of UTC.
    const int steps = (utcOffset & 0x40) ? int(utcOffset & 0x7F) - 128 : int(utcOffset & 0x7F);
    const time_t utc = timegm(&tmv);
    if (utc == time_t(-1)) return false;
    t = int64_t(utc) - int64_t(steps) * 15 * 60 + extra;
    return true;
  }
  tmv.tm_isdst = -1;
  const time_t local = mktime(&tmv);
  if (local == time_t(-1)) return false;
  t = int64_t(local) + extra;
  return true;
}
