#include "platform/VolumeProbe.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/ByteReader.h"
#include "platform/RawDevice.h"
#include "platform/Text.h"

namespace enumerate {
namespace {

using bytes::RawLE16;
using bytes::RawLE32;
using bytes::RawLE64;

bool ReadSector(CRawDevice& disk, uint64_t offset, uint8_t* sector, size_t size = 512) {
  return disk.Read(offset, sector, size);
}

bool IsExtended(uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }

// --- partition tables ---------------------------------------------------------------

bool ProbeGpt(CRawDevice& disk, std::vector<PartitionInfo>& parts) {
  uint8_t header[512];
  if (!ReadSector(disk, 512, header) || std::memcmp(header, "EFI PART", 8) != 0) return false;
  uint64_t entriesLba = RawLE64(header + 72);
  uint32_t count = RawLE32(header + 80), entrySize = RawLE32(header + 84);
  if (entrySize < 128 || entrySize > 4096 || entrySize % 8 != 0 || count == 0 || count > 4096) return false;
  uint64_t sectors = disk.Size() / 512;
  std::vector<uint8_t> entry(entrySize);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at;
    if (__builtin_mul_overflow(entriesLba, uint64_t(512), &at) || __builtin_add_overflow(at, uint64_t(i) * entrySize, &at))
      break;
    if (!disk.Read(at, entry.data(), entrySize)) break;
    static const uint8_t zero[16] = {};
    if (std::memcmp(entry.data(), zero, 16) == 0) continue;
    uint64_t first = RawLE64(entry.data() + 32), last = RawLE64(entry.data() + 40);
    if (first == 0 || last < first || first >= sectors) continue;
    parts.push_back({static_cast<int>(i + 1), first, last - first + 1});
  }
  return true;
}

void ProbeLogical(CRawDevice& disk, uint64_t extendedStart, uint64_t extendedSize, std::vector<PartitionInfo>& parts) {
  std::set<uint64_t> seen;
  uint64_t ebr = extendedStart;
  int number = 5;
  // A chain of at most 128 logical partitions; a link back to an EBR already read ends it.
  for (int n = 0; n < 128 && seen.insert(ebr).second; ++n) {
    uint8_t sector[512];
    if (!ReadSector(disk, ebr * 512, sector) || sector[510] != 0x55 || sector[511] != 0xaa) return;
    const uint8_t* e = sector + 446;
    uint32_t start = RawLE32(e + 8), size = RawLE32(e + 12);
    if (e[4] != 0 && !IsExtended(e[4]) && start != 0 && size != 0) parts.push_back({number++, ebr + start, size});
    const uint8_t* link = sector + 446 + 16;
    uint32_t next = RawLE32(link + 8);
    if (!IsExtended(link[4]) || next == 0 || next >= extendedSize) return;
    ebr = extendedStart + next;
  }
}

bool ProbeMbr(CRawDevice& disk, std::vector<PartitionInfo>& parts) {
  uint8_t sector[512];
  if (!ReadSector(disk, 0, sector) || sector[510] != 0x55 || sector[511] != 0xaa) return false;
  const uint8_t* table = sector + 446;
  for (int i = 0; i < 4; ++i) {
    uint8_t boot = table[i * 16];
    if (boot != 0 && boot != 0x80) return false;  // not a partition table
  }
  for (int i = 0; i < 4; ++i)
    if (table[i * 16 + 4] == 0xee) return ProbeGpt(disk, parts);
  std::vector<std::pair<uint64_t, uint64_t>> extended;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = table + i * 16;
    uint32_t start = RawLE32(e + 8), size = RawLE32(e + 12);
    if (e[4] == 0 || start == 0 || size == 0) continue;
    parts.push_back({i + 1, start, size});
    if (IsExtended(e[4])) extended.emplace_back(start, size);
  }
  for (const auto& [start, size] : extended) ProbeLogical(disk, start, size, parts);
  return !parts.empty();
}

// --- file systems -------------------------------------------------------------------

std::u16string TrimmedLabel(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return text::FromUtf8(s);
}

bool IsNoName(const uint8_t* label) { return std::memcmp(label, "NO NAME    ", 11) == 0; }

// The volume-label entry among n 32-byte folder entries, or null; *end is set at the end mark.
const uint8_t* FindLabelEntry(const uint8_t* entries, size_t n, bool* end) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* e = entries + i * 32;
    if (e[0] == 0) {
      *end = true;
      return nullptr;
    }
    if (e[0] == 0xe5 || (e[11] & 0x3f) == 0x0f) continue;
    if ((e[11] & 0x08) && !(e[11] & 0x10)) return e;
  }
  return nullptr;
}

bool ProbeFat(CRawDevice& disk, uint64_t offset, const uint8_t* boot, std::string& fsName, std::u16string& label) {
  uint32_t bps = RawLE16(boot + 11), spc = boot[13], reserved = RawLE16(boot + 14), fats = boot[16];
  uint32_t rootEntries = RawLE16(boot + 17), fatSize16 = RawLE16(boot + 22);
  uint64_t total = RawLE16(boot + 19) ? RawLE16(boot + 19) : RawLE32(boot + 32);
  bool jump = boot[0] == 0xe9 || (boot[0] == 0xeb && boot[2] == 0x90);
  if (!jump || (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096)) return false;
  if (spc == 0 || (spc & (spc - 1)) != 0 || reserved == 0 || fats == 0 || fats > 4 || boot[21] < 0xf0) return false;
  uint32_t fatSize = fatSize16 ? fatSize16 : RawLE32(boot + 36);
  if (fatSize == 0 || total == 0) return false;
  uint64_t rootSectors = (uint64_t(rootEntries) * 32 + bps - 1) / bps;
  uint64_t meta = reserved + uint64_t(fats) * fatSize + rootSectors;
  if (meta >= total) return false;
  uint64_t clusters = (total - meta) / spc;
  const uint8_t* bootLabel;
  std::vector<uint8_t> folder;
  const uint8_t* volumeEntry = nullptr;
  bool end = false;
  if (fatSize16) {
    fsName = clusters < 4085 ? "FAT12" : "FAT16";
    bootLabel = boot + 43;
    folder.resize(std::min<uint64_t>(rootSectors, 64) * bps);
    if (!folder.empty() && disk.Read(offset + (reserved + uint64_t(fats) * fatSize) * bps, folder.data(), folder.size()))
      volumeEntry = FindLabelEntry(folder.data(), folder.size() / 32, &end);
  } else {
    fsName = "FAT32";
    bootLabel = boot + 71;
    // The root folder's clusters by the FAT, at most 64 of them.
    uint32_t cluster = RawLE32(boot + 44);
    uint64_t clusterBytes = uint64_t(spc) * bps, firstData = reserved + uint64_t(fats) * fatSize;
    folder.resize(clusterBytes);
    for (int n = 0; n < 64 && cluster >= 2 && cluster < 0x0ffffff7 && cluster - 2 < clusters && !end; ++n) {
      if (!disk.Read(offset + (firstData + uint64_t(cluster - 2) * spc) * bps, folder.data(), folder.size())) break;
      if ((volumeEntry = FindLabelEntry(folder.data(), folder.size() / 32, &end))) break;
      uint8_t next[4];
      if (!disk.Read(offset + uint64_t(reserved) * bps + uint64_t(cluster) * 4, next, 4)) break;
      cluster = RawLE32(next) & 0x0fffffff;
    }
  }
  if (volumeEntry && !IsNoName(volumeEntry)) label = TrimmedLabel(volumeEntry, 11);
  else if ((boot[fatSize16 ? 38 : 66] == 0x29) && !IsNoName(bootLabel)) label = TrimmedLabel(bootLabel, 11);
  return true;
}

// The NTFS volume name: the $VOLUME_NAME attribute of MFT record 3.
std::u16string NtfsLabel(CRawDevice& disk, uint64_t offset, const uint8_t* boot) {
  uint32_t bps = RawLE16(boot + 11);
  int8_t spcCode = static_cast<int8_t>(boot[13]);
  uint64_t clusterBytes = spcCode < 0 ? (uint64_t(1) << -spcCode) : uint64_t(uint8_t(spcCode)) * bps;
  int8_t recCode = static_cast<int8_t>(boot[64]);
  uint64_t recordBytes = recCode < 0 ? (recCode < -16 ? 0 : uint64_t(1) << -recCode) : uint64_t(recCode) * clusterBytes;
  if (bps < 256 || bps > 4096 || clusterBytes == 0 || recordBytes < 512 || recordBytes > 65536) return {};
  uint64_t mft = RawLE64(boot + 48), at;
  if (__builtin_mul_overflow(mft, clusterBytes, &at) || __builtin_add_overflow(at, offset + 3 * recordBytes, &at))
    return {};
  std::vector<uint8_t> r(recordBytes);
  if (!disk.Read(at, r.data(), r.size()) || std::memcmp(r.data(), "FILE", 4) != 0) return {};
  // The update sequence: the last two bytes of each sector were moved into its array.
  uint16_t usaOffset = RawLE16(&r[4]), usaCount = RawLE16(&r[6]);
  if (usaCount == 0 || usaOffset + uint64_t(usaCount) * 2 > r.size() || uint64_t(usaCount - 1) * bps > r.size()) return {};
  for (uint16_t i = 1; i < usaCount; ++i) {
    size_t end = size_t(i) * bps - 2;
    if (std::memcmp(&r[end], &r[usaOffset], 2) != 0) return {};
    std::memcpy(&r[end], &r[usaOffset + i * 2], 2);
  }
  for (size_t a = RawLE16(&r[20]); a + 24 <= r.size();) {
    uint32_t type = RawLE32(&r[a]), length = RawLE32(&r[a + 4]);
    if (type == 0xffffffff || length < 24 || length > r.size() - a) break;
    if (type == 0x60 && r[a + 8] == 0) {
      uint32_t valueLength = RawLE32(&r[a + 16]);
      uint16_t valueOffset = RawLE16(&r[a + 20]);
      if (valueOffset + uint64_t(valueLength) > length) break;
      std::u16string name;
      for (uint32_t i = 0; i + 1 < valueLength; i += 2) name.push_back(char16_t(RawLE16(&r[a + valueOffset + i])));
      return name;
    }
    a += length;
  }
  return {};
}

// The exFAT volume label: the label entry (0x83) among the root folder's first entries.
std::u16string ExFatLabel(CRawDevice& disk, uint64_t offset, const uint8_t* boot) {
  const uint32_t sectorShift = boot[108], clusterShift = boot[109];
  const uint32_t heap = RawLE32(boot + 88), root = RawLE32(boot + 96);
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift || root < 2) return {};
  const uint64_t rootSector = heap + (uint64_t(root - 2) << clusterShift);
  std::vector<uint8_t> entries(std::min<uint64_t>(uint64_t(1) << (sectorShift + clusterShift), 64u << 10));
  if (!disk.Read(offset + (rootSector << sectorShift), entries.data(), entries.size())) return {};
  for (size_t at = 0; at + 32 <= entries.size(); at += 32) {
    const uint8_t* e = &entries[at];
    if (e[0] == 0x00) break;
    if (e[0] != 0x83) continue;
    std::u16string name;
    for (uint32_t i = 0; i < std::min<uint32_t>(e[1], 11); ++i) name.push_back(char16_t(RawLE16(e + 2 + 2 * i)));
    return name;
  }
  return {};
}

}  // namespace

bool ProbePartitions(CRawDevice& disk, std::vector<PartitionInfo>& parts) {
  parts.clear();
  return ProbeMbr(disk, parts);
}

bool ProbeFileSystem(CRawDevice& disk, uint64_t offset, uint64_t length, std::string& fsName, std::u16string& label) {
  uint8_t boot[512];
  label.clear();
  if (length != 0 && length < 512) return false;
  if (!ReadSector(disk, offset, boot) || boot[510] != 0x55 || boot[511] != 0xaa) return false;
  if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) {
    fsName = "NTFS";
    label = NtfsLabel(disk, offset, boot);
    return true;
  }
  if (std::memcmp(boot + 3, "EXFAT   ", 8) == 0) {
    fsName = "exFAT";
    label = ExFatLabel(disk, offset, boot);
    return true;
  }
  return ProbeFat(disk, offset, boot, fsName, label);
}

}  // namespace enumerate
