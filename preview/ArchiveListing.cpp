// Format notes: ZIP keeps its entry list twice, in the central directory at its end and in a
// local header before each entry's data; RAR keeps one header per entry before the data.
// Traps: data in front of a ZIP (a self-extractor) shifts every offset it records; a writer
// that cannot seek puts the sizes after the data (a data descriptor), so a walk over the
// local headers cannot step over that entry; ZIP64 moves counts, sizes and offsets into
// records and extra fields that may point anywhere; RAR header and data sizes may be 0 or run
// past the file. Decisions: the central directory comes first, the local headers only when
// it cannot be read; a walk ends at the first header it cannot read or step over, keeping
// what it listed; checksums are not checked (a listing is shown, nothing is unpacked).
//
// Layouts (offsets in bytes, little-endian):
//
// ZIP. The end-of-central-directory record (50 4B 05 06, 22 bytes plus a comment of up to
// 65535) gives the central directory's entry count (16-bit at 10), size (32-bit at 12) and
// offset (32-bit at 16), and the comment length (16-bit at 20). ZIP64 archives put 0xFFFF /
// 0xFFFFFFFF there and the real values in the ZIP64 end record (50 4B 06 06, 56 bytes: count
// 64-bit at 32, size at 40, offset at 48), found through the locator (50 4B 06 07, the 20
// bytes before the end record; the ZIP64 end record's offset 64-bit at 8). Each central entry
// (50 4B 01 02, 46 bytes) has the flags at 8 (bit 11: UTF-8 name), DOS time and date at 12
// and 14, sizes at 20 (packed) and 24 (unpacked), name, extra and comment lengths at 28, 30
// and 32. A local header (50 4B 03 04, 30 bytes) has the same fields at 6, 10, 12, 18, 22, 26
// and 28, and no comment. The extra field is a run of blocks: id (16-bit), length (16-bit)
// and the data; the ZIP64 block (id 1) holds, in this order, the 64-bit unpacked and packed
// sizes whose 32-bit fields are 0xFFFFFFFF. A name ending in '/' or '\' is a folder.
//
// RAR 1.5 to 4. The marker block 52 61 72 21 1A 07 00, then blocks that each start with a
// 7-byte header: CRC (16-bit), type, flags (16-bit), header size (16-bit). Flag 0x8000 adds
// a 32-bit data size right after those 7 bytes. The archive header (type 0x73) comes first.
// A file header (0x74) continues with packed size (32-bit at 7), unpacked size (11), host
// system (15), CRC (16), DOS time and date (20, 22), versions (24, 25), name size (16-bit at
// 26) and attributes (32-bit at 28); flag 0x100 adds the high halves of both sizes (32 and
// 36) before the name, which follows at 32 (or 40); flag 0x200 marks a name with a Unicode
// form after a zero byte (only the part before it is shown), or in UTF-8 when there is no
// zero byte; flags 0xE0 all set mark a folder. The packed data follows the header. Type 0x7B
// ends the archive.
//
// RAR 5. The marker 52 61 72 21 1A 07 01 00, then blocks of CRC32, header size (vint, the
// bytes after it), type, flags (bit 0: extra area size follows, bit 1: data size follows),
// and for a file header (type 2): file flags (bit 0 folder, bit 1 modification time as a
// 32-bit Unix time, bit 2 CRC32), unpacked size, attributes, [time], [CRC], compression,
// host system, name length and the UTF-8 name. The data area follows the header. Type 4
// (encrypted headers) and 5 (end) stop the walk. A vint is 7 bits a byte, least significant
// first, the top bit set on all bytes but the last; at most 10 bytes.
#include "preview/ArchiveListing.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/ByteReader.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"

namespace {

using Bytes = std::span<const uint8_t>;
using bytes::Fits;
using bytes::RawLE16;
using bytes::RawLE32;
using bytes::RawLE64;

constexpr uint32_t kZipEndSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kZipCentralSignature = 0x02014B50;
constexpr uint32_t kZipLocalSignature = 0x04034B50;
constexpr size_t kZipEndSize = 22;
constexpr size_t kZip64EndSize = 56;
constexpr size_t kZip64LocatorSize = 20;
constexpr size_t kZipCentralSize = 46;
constexpr size_t kZipLocalSize = 30;
// The end record is looked for in the last 22 + 65535 bytes (a comment's largest size).
constexpr size_t kZipLongestComment = 65535;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kZip64Marker = 0xFFFFFFFF;
constexpr uint16_t kZipUtf8Flag = 0x0800;

constexpr uint8_t kRar4Marker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr uint8_t kRar5Marker[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
constexpr size_t kRar4BlockSize = 7;
constexpr size_t kRar4FileHeaderSize = 32;
constexpr size_t kRar4LargeFileHeaderSize = 40;
constexpr uint8_t kRar4ArchiveHeader = 0x73, kRar4FileHeader = 0x74, kRar4EndBlock = 0x7B;
constexpr uint16_t kRar4LongBlock = 0x8000, kRar4LargeFile = 0x100, kRar4UnicodeName = 0x200;
constexpr uint16_t kRar4FolderFlags = 0x00E0;
constexpr uint64_t kRar5FileHeader = 2, kRar5EncryptionHeader = 4, kRar5EndHeader = 5;
// The CRC32 and the shortest header size vint, header and next block's CRC start.
constexpr size_t kRar5ShortestBlock = 7;

// DOS date and time fields as local time, the daylight-saving rule left to the library.
int64_t DosTime(uint16_t date, uint16_t time) {
  localtime_::CalendarFields f;
  f.nYear = 1980 + (date >> 9);
  f.nMonth = (date >> 5) & 15;
  f.nDay = date & 31;
  f.nHour = time >> 11;
  f.nMinute = (time >> 5) & 63;
  f.nSecond = (time & 31) * 2;
  int64_t t = 0;
  return localtime_::FromLocal(f, t) ? t : 0;
}

std::u16string NameFromBytes(Bytes name, bool utf8) {
  const std::string_view s(reinterpret_cast<const char*>(name.data()), name.size());
  return utf8 ? text::FromUtf8(s) : text::FromLocale(s);
}

bool IsFolderName(const std::u16string& name) { return !name.empty() && (name.back() == u'/' || name.back() == u'\\'); }

bool StartsWith(Bytes s, const uint8_t* prefix, size_t n) {
  return s.size() >= n && std::memcmp(s.data(), prefix, n) == 0;
}

// ---------------------------------------------------------------------------------------------
// ZIP

// Value number index (0 first) of the first ZIP64 block of an extra field long enough to hold
// it. The walk over the blocks ends at the first one that does not fit.
std::optional<uint64_t> Zip64Value(Bytes extra, size_t index) {
  // q grows by at least 4 a pass, inside at most 65535 bytes.
  for (size_t q = 0; Fits(extra, q, 4);) {
    const uint16_t id = RawLE16(extra.data() + q), len = RawLE16(extra.data() + q + 2);
    if (!Fits(extra, q + 4, len)) break;
    if (id == kZip64ExtraId && len >= 8 * (index + 1)) return RawLE64(extra.data() + q + 4 + 8 * index);
    q += 4 + size_t(len);
  }
  return std::nullopt;
}

// The last end record whose comment fits in the bytes after it.
std::optional<size_t> FindZipEnd(Bytes s) {
  if (s.size() < kZipEndSize) return std::nullopt;
  const size_t last = s.size() - kZipEndSize;
  const size_t lowest = last > kZipLongestComment ? last - kZipLongestComment : 0;
  // At most 65536 places, from the last one down.
  for (size_t i = last + 1; i-- > lowest;) {
    const uint8_t* e = s.data() + i;  // i + 22 <= size
    if (RawLE32(e) == kZipEndSignature && RawLE16(e + 20) <= last - i) return i;
  }
  return std::nullopt;
}

bool ZipCentralDirectory(Bytes s, std::vector<CArchiveEntry>& out) {
  const std::optional<size_t> eocd = FindZipEnd(s);
  if (!eocd) return false;
  const uint8_t* e = s.data() + *eocd;
  uint64_t count = RawLE16(e + 10), cdSize = RawLE32(e + 12), cdOffset = RawLE32(e + 16);
  uint64_t recordStart = *eocd;
  if ((count == 0xFFFF || cdSize == kZip64Marker || cdOffset == kZip64Marker) && *eocd >= kZip64LocatorSize) {
    const size_t locator = *eocd - kZip64LocatorSize;
    if (RawLE32(s.data() + locator) == kZip64LocatorSignature) {
      // The ZIP64 end record must lie whole before its locator.
      const uint64_t z = RawLE64(s.data() + locator + 8);
      if (z <= locator && locator - z >= kZip64EndSize && RawLE32(s.data() + z) == kZip64EndSignature) {
        const uint8_t* r = s.data() + z;
        count = RawLE64(r + 32);
        cdSize = RawLE64(r + 40);
        cdOffset = RawLE64(r + 48);
        recordStart = z;
      }
    }
  }
  // The directory lies before the end record. Data put in front of the archive (a
  // self-extractor) shifts it: then it ends right where the end record begins.
  if (cdSize > recordStart) return false;
  uint64_t start = cdOffset;
  if (cdOffset > recordStart - cdSize || (cdSize >= 4 && RawLE32(s.data() + cdOffset) != kZipCentralSignature)) {
    start = recordStart - cdSize;
    if (cdSize >= 4 && RawLE32(s.data() + start) != kZipCentralSignature) return false;
  }
  const Bytes dir = s.subspan(size_t(start), size_t(cdSize));

  std::vector<CArchiveEntry> entries;
  size_t p = 0;
  // p grows by at least 46 a pass; at most kMaxArchiveHeaders passes.
  for (uint64_t k = 0; k < count && k < kMaxArchiveHeaders; ++k) {
    if (!Fits(dir, p, kZipCentralSize) || RawLE32(dir.data() + p) != kZipCentralSignature) break;
    const uint8_t* h = dir.data() + p;
    const size_t nameLen = RawLE16(h + 28), extraLen = RawLE16(h + 30), commentLen = RawLE16(h + 32);
    const size_t total = kZipCentralSize + nameLen + extraLen + commentLen;
    if (!Fits(dir, p, total)) break;
    CArchiveEntry entry;
    entry.strName = NameFromBytes(dir.subspan(p + kZipCentralSize, nameLen), RawLE16(h + 8) & kZipUtf8Flag);
    entry.nSize = RawLE32(h + 24);
    entry.tModified = DosTime(RawLE16(h + 14), RawLE16(h + 12));
    // The unpacked size comes first in the ZIP64 block when its 32-bit field is the marker.
    if (entry.nSize == kZip64Marker)
      if (auto size = Zip64Value(dir.subspan(p + kZipCentralSize + nameLen, extraLen), 0)) entry.nSize = *size;
    if (!IsFolderName(entry.strName)) entries.push_back(std::move(entry));
    p += total;
  }
  // A directory that announces entries but holds none readable is not taken.
  if (count > 0 && p == 0) return false;
  out = std::move(entries);
  return true;
}

// The walk over local headers from the start: ends at the first block that is not a local
// header (normally the central directory), at data cut short, or at an entry whose sizes
// follow its data (a data descriptor), since its data cannot be skipped.
bool ZipLocalHeaders(Bytes s, std::vector<CArchiveEntry>& out) {
  if (bytes::LoadLE32(s, 0) != kZipLocalSignature) return false;
  size_t p = 0;
  // p grows by at least 30 a pass; at most kMaxArchiveHeaders passes.
  for (size_t visited = 0; visited < kMaxArchiveHeaders; ++visited) {
    if (!Fits(s, p, kZipLocalSize) || RawLE32(s.data() + p) != kZipLocalSignature) break;
    const uint8_t* h = s.data() + p;
    const size_t nameLen = RawLE16(h + 26), extraLen = RawLE16(h + 28);
    uint64_t packed = RawLE32(h + 18), unpacked = RawLE32(h + 22);
    if (!Fits(s, p + kZipLocalSize, nameLen)) break;
    const size_t headerSize = kZipLocalSize + nameLen + extraLen;
    // A ZIP64 entry: the block holds the unpacked size, then the packed one, each only when
    // its 32-bit field is the marker.
    if (Fits(s, p, headerSize) && (unpacked == kZip64Marker || packed == kZip64Marker)) {
      const Bytes extra = s.subspan(p + kZipLocalSize + nameLen, extraLen);
      size_t index = 0;
      if (unpacked == kZip64Marker)
        if (auto v = Zip64Value(extra, index++)) unpacked = *v;
      if (packed == kZip64Marker)
        if (auto v = Zip64Value(extra, index)) packed = *v;
    }
    CArchiveEntry entry;
    entry.strName = NameFromBytes(s.subspan(p + kZipLocalSize, nameLen), RawLE16(h + 6) & kZipUtf8Flag);
    entry.nSize = unpacked;
    entry.tModified = DosTime(RawLE16(h + 12), RawLE16(h + 10));
    if (nameLen > 0 && !IsFolderName(entry.strName)) out.push_back(std::move(entry));
    // The next header follows the data; data past the end ends the walk.
    const size_t left = s.size() - p;
    if (headerSize > left || packed > left - headerSize) break;
    p += headerSize + size_t(packed);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// RAR

bool ListRar4(Bytes s, std::vector<CArchiveEntry>& out) {
  size_t p = sizeof kRar4Marker;
  // The archive header.
  if (!Fits(s, p, kRar4BlockSize) || s[p + 2] != kRar4ArchiveHeader || RawLE16(s.data() + p + 5) < kRar4BlockSize)
    return true;
  p += RawLE16(s.data() + p + 5);
  // p grows by at least 7 a pass; at most kMaxArchiveHeaders passes.
  for (size_t visited = 0; visited < kMaxArchiveHeaders && Fits(s, p, kRar4BlockSize); ++visited) {
    const uint8_t* h = s.data() + p;
    const uint8_t type = h[2];
    const uint16_t flags = RawLE16(h + 3), headSize = RawLE16(h + 5);
    if (headSize < kRar4BlockSize || !Fits(s, p, headSize) || type == kRar4EndBlock) break;
    // From here on h holds headSize bytes.
    uint64_t dataSize = 0;
    if (type == kRar4FileHeader) {
      if (headSize < kRar4FileHeaderSize) break;
      dataSize = RawLE32(h + 7);
      uint64_t unpacked = RawLE32(h + 11);
      const uint8_t host = h[15];
      const uint16_t nameSize = RawLE16(h + 26);
      const uint32_t attributes = RawLE32(h + 28);
      size_t nameAt = kRar4FileHeaderSize;
      if (flags & kRar4LargeFile) {
        if (headSize < kRar4LargeFileHeaderSize) break;
        dataSize |= uint64_t(RawLE32(h + 32)) << 32;
        unpacked |= uint64_t(RawLE32(h + 36)) << 32;
        nameAt = kRar4LargeFileHeaderSize;
      }
      if (nameAt + nameSize > headSize) break;
      Bytes name = s.subspan(p + nameAt, nameSize);
      bool utf8 = false;
      if (flags & kRar4UnicodeName) {
        const auto zero = std::find(name.begin(), name.end(), uint8_t(0));
        if (zero != name.end()) name = name.first(size_t(zero - name.begin()));
        else utf8 = true;
      }
      // A folder: the folder flags, or (for archives made on DOS, OS/2 and Windows) the
      // directory attribute without the volume-label attribute.
      const bool folder = (flags & kRar4FolderFlags) == kRar4FolderFlags ||
                          (host <= 2 && (attributes & 0x10) && !(attributes & 0x08));
      if (!folder) {
        CArchiveEntry entry;
        entry.strName = NameFromBytes(name, utf8);
        entry.nSize = unpacked;
        entry.tModified = DosTime(RawLE16(h + 22), RawLE16(h + 20));
        out.push_back(std::move(entry));
      }
    } else if (flags & kRar4LongBlock) {
      if (headSize < kRar4BlockSize + 4) break;
      dataSize = RawLE32(h + 7);
    }
    if (dataSize > s.size() - p - headSize) break;
    p += headSize + size_t(dataSize);
  }
  return true;
}

bool ReadVint(bytes::CByteReader& r, uint64_t& value) {
  value = 0;
  // At most 10 bytes: the 10th holds bit 63.
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b = 0;
    if (!r.ReadU8(b)) return false;
    value |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

bool ListRar5(Bytes s, std::vector<CArchiveEntry>& out) {
  size_t p = sizeof kRar5Marker;
  // p grows by at least 6 a pass (CRC32, a size byte, a header of at least one byte); at most
  // kMaxArchiveHeaders passes.
  for (size_t visited = 0; visited < kMaxArchiveHeaders && Fits(s, p, kRar5ShortestBlock); ++visited) {
    // After the CRC32: the header size, then exactly that many header bytes.
    bytes::CByteReader sizeField(s.subspan(p + 4));
    uint64_t headSize = 0;
    if (!ReadVint(sizeField, headSize) || headSize == 0 || headSize > sizeField.Remaining()) break;
    const size_t headAt = p + 4 + sizeField.Position();
    const size_t end = headAt + size_t(headSize);
    bytes::CByteReader r(s.subspan(headAt, size_t(headSize)));
    uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
    if (!ReadVint(r, type) || !ReadVint(r, flags)) break;
    if ((flags & 1) && !ReadVint(r, extraSize)) break;
    if ((flags & 2) && !ReadVint(r, dataSize)) break;
    if (type == kRar5EncryptionHeader || type == kRar5EndHeader) break;
    if (type == kRar5FileHeader) {
      uint64_t fileFlags = 0, unpacked = 0, attributes = 0, compression = 0, host = 0, nameLen = 0;
      if (!ReadVint(r, fileFlags) || !ReadVint(r, unpacked) || !ReadVint(r, attributes)) break;
      uint32_t modified = 0;
      if ((fileFlags & 2) && !r.ReadU32(modified)) break;
      if ((fileFlags & 4) && !r.Skip(4)) break;
      if (!ReadVint(r, compression) || !ReadVint(r, host) || !ReadVint(r, nameLen) || nameLen > r.Remaining()) break;
      if (!(fileFlags & 1)) {
        CArchiveEntry entry;
        entry.strName = NameFromBytes(s.subspan(headAt + r.Position(), size_t(nameLen)), true);
        entry.nSize = unpacked;
        entry.tModified = modified;
        out.push_back(std::move(entry));
      }
    }
    if (dataSize > s.size() - end) break;
    p = end + size_t(dataSize);
  }
  return true;
}

}  // namespace

bool ListZipEntries(std::span<const uint8_t> archive, std::vector<CArchiveEntry>& out) {
  out.clear();
  if (ZipCentralDirectory(archive, out)) return true;
  out.clear();
  return ZipLocalHeaders(archive, out);
}

bool ListRarEntries(std::span<const uint8_t> archive, std::vector<CArchiveEntry>& out) {
  out.clear();
  if (StartsWith(archive, kRar5Marker, sizeof kRar5Marker)) return ListRar5(archive, out);
  if (StartsWith(archive, kRar4Marker, sizeof kRar4Marker)) return ListRar4(archive, out);
  return false;
}
