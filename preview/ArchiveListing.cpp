#include "preview/ArchiveListing.h"

#include <cstring>
#include <string_view>

#include "platform/ByteReader.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"

namespace {
uint16_t Le16(const uint8_t* p) { return bytes::RawLE16(p); }
uint32_t Le32(const uint8_t* p) { return bytes::RawLE32(p); }
uint64_t Le64(const uint8_t* p) { return bytes::RawLE64(p); }

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

std::u16string NameFromBytes(const uint8_t* p, size_t n, bool utf8) {
  std::string_view text(reinterpret_cast<const char*>(p), n);
  return utf8 ? text::FromUtf8(text) : text::FromLocale(text);
}

bool IsFolderName(const std::u16string& name) { return !name.empty() && (name.back() == u'/' || name.back() == u'\\'); }
}  // namespace

// ZIP: the end-of-central-directory record (signature 50 4B 05 06, 22 bytes plus a comment
// of up to 65535) gives the central directory's entry count (16-bit at 10), size (32-bit at
// 12) and offset (32-bit at 16); ZIP64 archives put 0xFFFF / 0xFFFFFFFF there and the real
// values in the ZIP64 end record (signature 50 4B 06 06: count 64-bit at 32, size at 40,
// offset at 48), found through the locator (50 4B 06 07, 20 bytes before the end record,
// the end record's offset 64-bit at 8). Each central entry (50 4B 01 02, 46 bytes) has the
// flags at 8 (bit 11: UTF-8 name), DOS time and date at 12 and 14, sizes at 20 (compressed)
// and 24 (uncompressed), name, extra and comment lengths at 28, 30 and 32; the ZIP64 extra
// field (id 1) holds the 64-bit uncompressed size first when the 32-bit one is 0xFFFFFFFF.
// A local header (50 4B 03 04, 30 bytes) has the same fields at 6, 10, 12, 18, 22, 26 and 28.
namespace {

bool ZipCentralDirectory(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (size < 22) return false;
  size_t eocd = SIZE_MAX;
  const size_t lowest = size - 22 > 65535 ? size - 22 - 65535 : 0;
  for (size_t i = size - 22 + 1; i-- > lowest;) {
    if (Le32(data + i) == 0x06054B50 && i + 22 + Le16(data + i + 20) <= size) {
      eocd = i;
      break;
    }
  }
  if (eocd == SIZE_MAX) return false;
  uint64_t count = Le16(data + eocd + 10), cdSize = Le32(data + eocd + 12), cdOffset = Le32(data + eocd + 16);
  uint64_t recordStart = eocd;
  if ((count == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF) && eocd >= 20 &&
      Le32(data + eocd - 20) == 0x07064B50) {
    const uint64_t z = Le64(data + eocd - 20 + 8);
    if (z <= eocd - 20 && eocd - 20 - z >= 56 && Le32(data + z) == 0x06064B50) {
      count = Le64(data + z + 32);
      cdSize = Le64(data + z + 40);
      cdOffset = Le64(data + z + 48);
      recordStart = z;
    }
  }
  // The directory lies before the end record. Data put in front of the archive (a
  // self-extractor) shifts it: then it ends right where the end record begins.
  if (cdSize > recordStart) return false;
  uint64_t start = cdOffset;
  if (cdOffset > recordStart - cdSize || (cdSize >= 4 && Le32(data + cdOffset) != 0x02014B50)) {
    start = recordStart - cdSize;
    if (cdSize >= 4 && Le32(data + start) != 0x02014B50) return false;
  }
  const uint64_t end = start + cdSize;
  std::vector<CArchiveEntry> entries;
  uint64_t p = start;
  for (uint64_t k = 0; k < count; ++k) {
    if (end - p < 46 || Le32(data + p) != 0x02014B50) break;
    const uint8_t* h = data + p;
    const uint64_t nameLen = Le16(h + 28), extraLen = Le16(h + 30), commentLen = Le16(h + 32);
    if (end - p - 46 < nameLen + extraLen + commentLen) break;
    CArchiveEntry e;
    e.strName = NameFromBytes(h + 46, nameLen, Le16(h + 8) & 0x0800);
    e.nSize = Le32(h + 24);
    e.tModified = DosTime(Le16(h + 14), Le16(h + 12));
    if (e.nSize == 0xFFFFFFFF) {
      const uint8_t* x = h + 46 + nameLen;
      for (uint64_t q = 0; q + 4 <= extraLen;) {
        const uint16_t id = Le16(x + q), len = Le16(x + q + 2);
        if (q + 4 + len > extraLen) break;
        if (id == 0x0001 && len >= 8) {
          e.nSize = Le64(x + q + 4);
          break;
        }
        q += 4 + uint64_t(len);
      }
    }
    if (!IsFolderName(e.strName)) entries.push_back(std::move(e));
    p += 46 + nameLen + extraLen + commentLen;
  }
  // A directory that announces entries but holds none readable is not taken.
  if (count > 0 && p == start) return false;
  out = std::move(entries);
  return true;
}

// The walk over local headers from the start: ends at the first block that is not a local
// header (normally the central directory), at data cut short, or at an entry whose sizes
// follow its data (a data descriptor), since its data cannot be skipped.
bool ZipLocalHeaders(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (size < 4 || Le32(data) != 0x04034B50) return false;
  uint64_t p = 0;
  while (size - p >= 30 && Le32(data + p) == 0x04034B50) {
    const uint8_t* h = data + p;
    const uint64_t nameLen = Le16(h + 26), extraLen = Le16(h + 28), packed = Le32(h + 18);
    if (size - p - 30 < nameLen) break;
    CArchiveEntry e;
    e.strName = NameFromBytes(h + 30, nameLen, Le16(h + 6) & 0x0800);
    e.nSize = Le32(h + 22);
    e.tModified = DosTime(Le16(h + 12), Le16(h + 10));
    if (nameLen > 0 && !IsFolderName(e.strName)) out.push_back(std::move(e));
    const uint64_t next = p + 30 + nameLen + extraLen + packed;
    if (next > size) break;
    p = next;
  }
  return true;
}

}  // namespace

bool ListZipEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  out.clear();
  if (!data) return false;
  if (ZipCentralDirectory(data, size, out)) return true;
  out.clear();
  return ZipLocalHeaders(data, size, out);
}

// RAR 1.5 to 4: the marker block 52 61 72 21 1A 07 00, then blocks that each start with a
// 7-byte header: CRC (16-bit), type, flags (16-bit), header size (16-bit). Flag 0x8000 adds a
// 32-bit data size right after those 7 bytes. The archive header (type 0x73) comes first.
// A file header (0x74) continues with packed size (32-bit at 7), unpacked size (11), host
// system (15), CRC (16), DOS time and date (20, 22), versions (24, 25), name size (16-bit at
// 26) and attributes (32-bit at 28); flag 0x100 adds the high halves of both sizes (32 and
// 36) before the name, which follows at 32 (or 40); flag 0x200 marks a name with a Unicode
// form after a zero byte, or in UTF-8 when there is no zero byte; flags 0xE0 all set mark a
// folder. The packed data follows the header. Type 0x7B ends the archive.
//
// RAR 5: the marker 52 61 72 21 1A 07 01 00, then blocks of CRC32, header size (vint, the
// bytes after it), type, flags (bit 0: extra area size follows, bit 1: data size follows),
// and for a file header (type 2): file flags (bit 0 folder, bit 1 modification time as a
// 32-bit Unix time, bit 2 CRC32), unpacked size, attributes, [time], [CRC], compression,
// host system, name length and the UTF-8 name. Type 4 (encrypted headers) and 5 (end) stop
// the walk. A vint is 7 bits a byte, least significant first, the top bit set on all bytes
// but the last.
namespace {

bool ListRar4(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  uint64_t p = 7;
  // The archive header.
  if (size - p < 7 || data[p + 2] != 0x73 || Le16(data + p + 5) < 7) return true;
  p += Le16(data + p + 5);
  while (p <= size && size - p >= 7) {
    const uint8_t* h = data + p;
    const uint8_t type = h[2];
    const uint16_t flags = Le16(h + 3), headSize = Le16(h + 5);
    if (headSize < 7 || headSize > size - p || type == 0x7B) break;
    uint64_t dataSize = 0;
    if (type == 0x74) {
      if (headSize < 32) break;
      dataSize = Le32(h + 7);
      uint64_t unpacked = Le32(h + 11);
      const uint8_t host = h[15];
      const uint16_t nameSize = Le16(h + 26);
      const uint32_t attributes = Le32(h + 28);
      uint64_t nameAt = 32;
      if (flags & 0x100) {
        if (headSize < 40) break;
        dataSize |= uint64_t(Le32(h + 32)) << 32;
        unpacked |= uint64_t(Le32(h + 36)) << 32;
        nameAt = 40;
      }
      if (nameAt + nameSize > headSize) break;
      const uint8_t* name = h + nameAt;
      size_t nameLen = nameSize;
      bool utf8 = false;
      if (flags & 0x200) {
        const void* zero = std::memchr(name, 0, nameSize);
        if (zero) nameLen = size_t(static_cast<const uint8_t*>(zero) - name);
        else utf8 = true;
      }
      // A folder: the folder flags, or (for archives made on DOS, OS/2 and Windows) the
      // directory attribute without the volume-label attribute.
      const bool folder = (flags & 0xE0) == 0xE0 || (host <= 2 && (attributes & 0x10) && !(attributes & 0x08));
      if (!folder) {
        CArchiveEntry e;
        e.strName = NameFromBytes(name, nameLen, utf8);
        e.nSize = unpacked;
        e.tModified = DosTime(Le16(h + 22), Le16(h + 20));
        out.push_back(std::move(e));
      }
    } else if (flags & 0x8000) {
      if (headSize < 11) break;
      dataSize = Le32(h + 7);
    }
    if (dataSize > size - p - headSize) break;
    p += headSize + dataSize;
  }
  return true;
}

bool ReadVint(const uint8_t* data, uint64_t end, uint64_t& p, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64 && p < end; shift += 7) {
    const uint8_t b = data[p++];
    value |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

bool ListRar5(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  uint64_t p = 8;
  while (size - p >= 7) {
    uint64_t q = p + 4, headSize = 0;
    if (!ReadVint(data, size, q, headSize) || headSize == 0 || headSize > size - q) break;
    const uint64_t end = q + headSize;
    uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
    if (!ReadVint(data, end, q, type) || !ReadVint(data, end, q, flags)) break;
    if ((flags & 1) && !ReadVint(data, end, q, extraSize)) break;
    if ((flags & 2) && !ReadVint(data, end, q, dataSize)) break;
    if (type == 4 || type == 5) break;
    if (type == 2) {
      uint64_t fileFlags = 0, unpacked = 0, attributes = 0, compression = 0, host = 0, nameLen = 0;
      if (!ReadVint(data, end, q, fileFlags) || !ReadVint(data, end, q, unpacked) ||
          !ReadVint(data, end, q, attributes))
        break;
      int64_t modified = 0;
      if (fileFlags & 2) {
        if (end - q < 4) break;
        modified = Le32(data + q);
        q += 4;
      }
      if (fileFlags & 4) {
        if (end - q < 4) break;
        q += 4;
      }
      if (!ReadVint(data, end, q, compression) || !ReadVint(data, end, q, host) || !ReadVint(data, end, q, nameLen) ||
          nameLen > end - q)
        break;
      if (!(fileFlags & 1)) {
        CArchiveEntry e;
        e.strName = NameFromBytes(data + q, size_t(nameLen), true);
        e.nSize = unpacked;
        e.tModified = modified;
        out.push_back(std::move(e));
      }
    }
    if (dataSize > size - end) break;
    p = end + dataSize;
  }
  return true;
}

}  // namespace

bool ListRarEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  out.clear();
  static const uint8_t kRar4[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  static const uint8_t kRar5[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
  if (!data) return false;
  if (size >= 8 && std::memcmp(data, kRar5, 8) == 0) return ListRar5(data, size, out);
  if (size >= 7 && std::memcmp(data, kRar4, 7) == 0) return ListRar4(data, size, out);
  return false;
}
