// Compound document (the container of legacy Word, Excel, PowerPoint and Visio files and
// of Outlook messages): the length is the header plus every sector the allocation table
// accounts for; the extension comes from the first directory entry that names a known
// stream.
//
// Format notes: a 512-byte header, then sectors of S = 2^shift bytes (shift, 16-bit at
// 0x1E: 9 for version 3 files, 12 for version 4); sector n lies at byte (n + 1) x S. The
// allocation table (FAT) is a chain map of 32-bit entries, S / 4 per FAT sector; 0xFFFFFFFF
// is a free entry, 0xFFFFFFFE ends a chain, values from 0xFFFFFFFA up are never sector
// numbers. The FAT sectors are listed by the 109-entry table at 0x4C and, in large files,
// by extra-table (DIFAT) sectors (count at 0x48, first at 0x44), each holding S / 4 - 1
// FAT sector numbers and, in its last entry, the next DIFAT sector. The directory starts
// at the sector named at 0x30 and is a list of 128-byte entries: a 64-byte UTF-16LE name
// and its 16-bit byte length (terminator included) at 0x40.
//
// Measuring: every FAT sector adds (index of its last used entry + 1) x S to the length,
// after the 512-byte header (so a version 4 file, whose header occupies a whole 4 KiB
// sector, measures 3.5 KiB short). The directory chain is followed only forward through
// the table as the FAT sectors pass; the extension becomes "MSCOMP" before the directory
// is read, and the rule fails when no entry names a stream of an enabled type.
//
// Hostile headers: the sector shift must give 128 B to 64 KiB; sector numbers must be
// regular; the DIFAT chain may not revisit a sector and its count may not exceed the
// sectors of a carvable file; the FAT pass stops with failure once the length reaches the
// carve limit (nothing that long is carved), which also bounds the table entries walked
// and so the directory list (at most one sector per S bytes of length).
#include <cstring>
#include <span>
#include <unordered_set>
#include <vector>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// Header (little-endian)                    offset  size  meaning
constexpr size_t kSectorShiftAt = 0x1E;           // 2   log2 of the sector size
constexpr size_t kFirstDirectorySectorAt = 0x30;  // 4   first sector of the directory chain
constexpr size_t kDifatFirstSectorAt = 0x44;      // 4   first extra-table (DIFAT) sector
constexpr size_t kDifatCountAt = 0x48;            // 4   DIFAT sectors
constexpr size_t kHeaderFatTableAt = 0x4C;        // 436 the first 109 FAT sector numbers
constexpr size_t kHeaderFatTableEntries = 109;
constexpr size_t kSectorNumberBytes = 4;          //     FAT entries and sector numbers
constexpr uint64_t kHeaderBytes = 512;

constexpr uint16_t kMinSectorShift = 7;   // 128 bytes
constexpr uint16_t kMaxSectorShift = 16;  // 64 KiB

constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMaxRegularSector = 0xFFFFFFF9;

// Directory entry                    offset  size  meaning
constexpr size_t kDirNameAt = 0x00;        // 64  UTF-16LE name, zero-padded
constexpr size_t kDirNameLengthAt = 0x40;  // 2   bytes of the name, its terminator included
constexpr size_t kDirEntryBytes = 128;
// The name and its length, compared as one field.
constexpr size_t kDirNameFieldBytes = kDirNameLengthAt + 2;
// A message's property streams are "__substg1.0_001A..." (the prefix only: 16
// characters, 32 bytes; the length is not compared).
constexpr size_t kMessagePrefixBytes = 32;

using DirEntry = std::span<const uint8_t, kDirEntryBytes>;

// Sector n of the compound file starting at unit, read whole into sector (S bytes).
bool ReadSector(CLogicalDriver& v, uint64_t unit, uint32_t n, std::span<uint8_t> sector) {
  if (n > kMaxRegularSector) return false;
  if (!v.StreamSeek(unit)) return false;
  if (v.StreamSkip((uint64_t(n) + 1) * sector.size()) < 0) return false;
  return v.StreamRead(sector.data(), sector.size()) == sector.size();
}

// The name field of a directory entry (the name and its 16-bit length) as it holds
// ascii name.
struct CStreamName {
  uint8_t bytes[kDirNameFieldBytes] = {};
  explicit CStreamName(const char* ascii) {
    size_t n = std::strlen(ascii);
    for (size_t i = 0; i < n; ++i) bytes[kDirNameAt + 2 * i] = uint8_t(ascii[i]);
    uint16_t length = uint16_t((n + 1) * 2);
    bytes[kDirNameLengthAt] = uint8_t(length & 0xFF);
    bytes[kDirNameLengthAt + 1] = uint8_t(length >> 8);
  }
};

struct CNamedType {
  ScanFlag pFlag;
  CStreamName name;
  const char16_t* szExtension;
};

// Decides the extension from one directory entry; null when it names no known stream.
const char16_t* ExtensionOfEntry(const CLogicalDriver& v, DirEntry entry) {
  static const CNamedType s_types[] = {
      {&CLogicalDriver::m_bScanXLS, CStreamName("Workbook"), u"XLS"},
      {&CLogicalDriver::m_bScanDOC, CStreamName("WordDocument"), u"DOC"},
      {&CLogicalDriver::m_bScanPPT, CStreamName("PowerPoint Document"), u"PPT"},
      {&CLogicalDriver::m_bScanVSD, CStreamName("VisioDocument"), u"VSD"},
  };
  static const CStreamName s_message("__substg1.0_001A");
  const auto name = entry.subspan<kDirNameAt, kDirNameFieldBytes>();
  for (const auto& t : s_types)
    if (v.*t.pFlag && std::memcmp(name.data(), t.name.bytes, name.size()) == 0) return t.szExtension;
  if (v.m_bScanMSG && std::memcmp(name.data(), s_message.bytes, kMessagePrefixBytes) == 0) return u"MSG";
  return nullptr;
}
}  // namespace

namespace rules {
bool MeasureCompoundDocument(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string& extension,
                             uint64_t& len) {
  len = kHeaderBytes;
  if (!v.StreamSeek(unit) || v.StreamSkip(kHeaderBytes) < 0) return false;

  const uint16_t shift = HeaderLE16<kSectorShiftAt>(h);
  if (shift < kMinSectorShift || shift > kMaxSectorShift) return false;
  const uint32_t sectorBytes = uint32_t(1) << shift;
  const uint32_t entriesPerSector = sectorBytes / kSectorNumberBytes;
  // A file below the carve limit has fewer sectors than this, DIFAT sectors included.
  const uint64_t maxSectors = kMaxCarveLength / sectorBytes;

  std::vector<uint8_t> fat(sectorBytes), difat(sectorBytes);

  // The directory chain, followed forward as the FAT passes.
  uint32_t nextDirectory = HeaderLE32<kFirstDirectorySectorAt>(h);
  std::vector<uint32_t> directory{nextDirectory};
  // Index in the whole table of entry 0 of the current FAT sector. It grows by at least
  // 1 per FAT sector and the length by at least S, so the carve limit bounds both.
  uint64_t base = 0;

  auto processFatSector = [&](uint32_t f) {
    if (!ReadSector(v, unit, f, fat)) return false;
    uint32_t last = 0;
    for (uint32_t j = 0; j < entriesPerSector; ++j) {
      const uint32_t e = bytes::RawLE32(fat.data() + kSectorNumberBytes * j);
      if (e == kFreeSector) continue;
      last = j;
      if (base + j == nextDirectory) {
        // Links are taken only at used entries j <= last, and each adds S to the length
        // below, so the list stays within the sectors of a carvable file.
        nextDirectory = e;
        directory.push_back(e);
      }
    }
    base += uint64_t(last) + 1;
    len += (uint64_t(last) + 1) * sectorBytes;
    return len < kMaxCarveLength;
  };

  bytes::CByteReader headerTable(HeaderBytes<kHeaderFatTableAt, kHeaderFatTableEntries * kSectorNumberBytes>(h));
  for (uint32_t f = 0; headerTable.ReadU32(f);) {
    if (f == kFreeSector) break;
    if (!processFatSector(f)) return false;
  }

  const uint32_t difatCount = HeaderLE32<kDifatCountAt>(h);
  if (difatCount > 0) {
    if (difatCount > maxSectors) return false;
    std::unordered_set<uint32_t> visited;
    uint32_t x = HeaderLE32<kDifatFirstSectorAt>(h);
    for (uint32_t k = 0; k < difatCount; ++k) {
      if (!visited.insert(x).second) return false;  // the chain loops
      if (!ReadSector(v, unit, x, difat)) return false;
      uint32_t idx = 0;
      for (; idx + 1 < entriesPerSector; ++idx) {
        const uint32_t f = bytes::RawLE32(difat.data() + kSectorNumberBytes * idx);
        if (f == kFreeSector) break;
        if (!processFatSector(f)) return false;
      }
      // The entry at which the sector's list stopped: the next DIFAT sector when it was full.
      x = bytes::RawLE32(difat.data() + kSectorNumberBytes * idx);
    }
  }

  extension = u"MSCOMP";

  uint8_t entry[kDirEntryBytes];
  for (uint32_t d : directory) {
    if (d == kEndOfChain) break;
    if (d > kMaxRegularSector) return false;
    if (!v.StreamSeek(unit) || v.StreamSkip((uint64_t(d) + 1) * sectorBytes) < 0) return false;
    for (uint32_t i = 0; i < sectorBytes / kDirEntryBytes; ++i) {
      if (v.StreamRead(entry, kDirEntryBytes) != kDirEntryBytes) return false;
      if (bytes::RawLE16(entry + kDirNameLengthAt) == 0) continue;  // an unused entry
      if (const char16_t* ext = ExtensionOfEntry(v, entry)) {
        extension = ext;
        return true;
      }
    }
  }
  return false;
}
}  // namespace rules
