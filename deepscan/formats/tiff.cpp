// TIFF and the camera RAW formats built on it (Canon CR2, Nikon NEF, Pentax PEF,
// Olympus ORF, Sony ARW): a walk over the chain of image file directories (IFDs); the
// length is the furthest byte that any directory, out-of-line value or strip reaches.
//
// Format notes: "MM" files are big-endian, all others ("II", and the Olympus "IIRO" and
// "IIRS") little-endian; the first IFD offset is at 4. An IFD is a 16-bit entry count,
// 12-byte entries (tag, type, count, and a value field that holds the data when it fits
// in 4 bytes, else its offset) and the offset of the next IFD (0 ends the chain). The
// strips (or the JPEG interchange stream of a thumbnail IFD) are given by parallel
// arrays of offsets and byte counts. The camera maker in the Make tag names the RAW
// extension; a Nikon file goes on through its last SubIFD instead of the next IFD, a
// Sony file through its DNG private data IFD. A plain TIFF (no known maker) is carved
// only when TIFF itself was asked for.
#include <algorithm>
#include <cstring>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// File header                  offset  size  meaning
constexpr size_t kByteOrderAt = 0;   // 2   "MM" big-endian, else little-endian
constexpr size_t kFirstIfdAt = 4;    // 4   offset of the first IFD
// IFD: a 16-bit entry count, the entries, then the 32-bit offset of the next IFD (0 ends)
constexpr size_t kIfdCountBytes = 2;
constexpr size_t kIfdNextBytes = 4;
// IFD entry
constexpr size_t kEntryTagAt = 0;    // 2   tag
constexpr size_t kEntryTypeAt = 2;   // 2   field type (TypeSize)
constexpr size_t kEntryCountAt = 4;  // 4   elements
constexpr size_t kEntryValueAt = 8;  // 4   the data when it fits in 4 bytes, else its offset
constexpr size_t kEntryBytes = 12;
constexpr size_t kValueFieldBytes = 4;

constexpr uint16_t kTagMake = 271;
constexpr uint16_t kTagStripOffsets = 273;
constexpr uint16_t kTagStripByteCounts = 279;
constexpr uint16_t kTagSubIfds = 330;
constexpr uint16_t kTagJpegOffset = 513;
constexpr uint16_t kTagJpegLength = 514;
constexpr uint16_t kTagDngPrivateData = 50740;

constexpr uint16_t kMaxIfdEntries = 512;
// Counts and values above this cannot belong to a file that could be carved.
constexpr uint32_t kMaxFieldValue = 0x20000000;
// A chain longer than this is taken as damaged (multi-page files stay far below).
constexpr size_t kMaxIfds = 1024;
// Strip arrays: elements of one array, and bytes read for all arrays of one file.
constexpr uint64_t kMaxArrayElements = 1u << 20;
constexpr uint64_t kMaxArrayBytes = 16u << 20;
constexpr size_t kMakeBytes = 32;

// Bytes per element of a field type; 0 for the types that are not measured (0, and
// everything above 12).
uint32_t TypeSize(uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

class CTiffReader {
 public:
  CTiffReader(CLogicalDriver& v, uint64_t unit, bool bigEndian) : m_v(v), m_nUnit(unit), m_bBigEndian(bigEndian) {}
  uint16_t U16(std::span<const uint8_t, 2> p) const {
    return m_bBigEndian ? bytes::RawBE16(p.data()) : bytes::RawLE16(p.data());
  }
  uint32_t U32(std::span<const uint8_t, 4> p) const {
    return m_bBigEndian ? bytes::RawBE32(p.data()) : bytes::RawLE32(p.data());
  }
  // Reads n bytes at offset (from the file's first byte); the stream stays after them.
  bool ReadAt(uint64_t offset, uint8_t* destination, size_t n) {
    return m_v.StreamSeek(m_nUnit) && m_v.StreamSkip(offset) >= 0 && m_v.StreamRead(destination, n) == n;
  }

 private:
  CLogicalDriver& m_v;
  uint64_t m_nUnit;
  bool m_bBigEndian;
};

// One array of strip offsets or byte counts, elements in the file's byte order.
struct CElements {
  std::vector<uint8_t> data;
  uint32_t nWidth = 0;
  uint64_t nCount = 0;

  // Element i < nCount; data holds nCount elements (at least the 4 bytes of a value field).
  uint32_t At(const CTiffReader& r, uint64_t i) const {
    const uint8_t* p = data.data() + i * nWidth;
    if (nWidth == 1) return *p;
    if (nWidth == 2) return r.U16(std::span<const uint8_t, 2>(p, 2));
    return r.U32(std::span<const uint8_t, 4>(p, 4));
  }
};

// Takes the elements from the value field when they fit there, else reads them at
// value; budget is what the file may still read for its arrays.
bool LoadElements(CTiffReader& r, uint32_t width, uint32_t count, std::span<const uint8_t, kValueFieldBytes> field,
                  uint32_t value, CElements& e, uint64_t& budget) {
  // Offsets and byte counts are bytes, shorts or longs; wider elements cannot be measured.
  if (width != 1 && width != 2 && width != 4) return false;
  const uint64_t n = uint64_t(width) * count;
  e.nWidth = width;
  e.nCount = count;
  if (n <= kValueFieldBytes) {
    e.data.assign(field.begin(), field.end());
    return true;
  }
  if (count > kMaxArrayElements || n > budget) return false;
  budget -= n;
  e.data.resize(n);
  return r.ReadAt(value, e.data.data(), n);
}

// The extension named by a Make text: the first known maker it contains, upper-cased.
const char16_t* MakerExtension(std::span<const uint8_t> text) {
  std::string upper(text.begin(), text.end());
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = char(c - ('a' - 'A'));
  static const struct {
    std::string_view maker;
    const char16_t* extension;
  } kMakers[] = {{"CANON", u"CR2"}, {"NIKON", u"NEF"}, {"PENTAX", u"PEF"}, {"OLYMPUS", u"ORF"}, {"SONY", u"ARW"}};
  for (const auto& m : kMakers)
    if (upper.find(m.maker) != std::string::npos) return m.extension;
  return u"TIF";
}
}  // namespace

namespace rules {
bool MeasureTiff(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string& ext, uint64_t& len) {
  ext = u"TIF";
  CTiffReader r(v, unit, HeaderEquals<kByteOrderAt>(h, "MM"));
  uint32_t o = r.U32(HeaderBytes<kFirstIfdAt, 4>(h));
  len = o;

  std::set<uint32_t> visited;
  std::vector<uint8_t> ifd(size_t(kMaxIfdEntries) * kEntryBytes + kIfdNextBytes);
  uint64_t budget = kMaxArrayBytes;
  do {
    // A chain that comes back to a directory would never end.
    if (visited.size() >= kMaxIfds || !visited.insert(o).second) return false;
    uint8_t countBytes[kIfdCountBytes];
    if (!r.ReadAt(o, countBytes, kIfdCountBytes)) return false;
    const uint16_t entries = r.U16(countBytes);
    if (entries > kMaxIfdEntries) return false;
    len = std::max<uint64_t>(len, uint64_t(o) + kIfdCountBytes + kEntryBytes * entries + kIfdNextBytes);
    // The entries and the next offset, within ifd (entries <= kMaxIfdEntries).
    const std::span<const uint8_t> table(ifd.data(), size_t(entries) * kEntryBytes + kIfdNextBytes);
    if (v.StreamRead(ifd.data(), table.size()) != table.size()) return false;
    uint32_t next = r.U32(table.last<kIfdNextBytes>());

    CElements offsets, counts;
    for (size_t i = 0; i < entries; ++i) {
      const auto entry = table.subspan(i * kEntryBytes).first<kEntryBytes>();
      const uint16_t tag = r.U16(entry.subspan<kEntryTagAt, 2>());
      const uint32_t width = TypeSize(r.U16(entry.subspan<kEntryTypeAt, 2>()));
      if (width == 0) continue;
      const uint32_t count = r.U32(entry.subspan<kEntryCountAt, 4>());
      const auto field = entry.subspan<kEntryValueAt, kValueFieldBytes>();
      const uint64_t dataBytes = uint64_t(width) * count;
      // Two bytes of data sit in the first half of the value field.
      const uint32_t value = dataBytes == 2 ? r.U16(field.first<2>()) : r.U32(field);
      if (count > kMaxFieldValue || value > kMaxFieldValue) return false;

      switch (tag) {
        case kTagMake:
          if (dataBytes > kValueFieldBytes) {
            uint8_t make[kMakeBytes];
            const size_t n = size_t(std::min<uint64_t>(dataBytes, kMakeBytes));
            if (!r.ReadAt(value, make, n)) return false;
            ext = MakerExtension(std::span<const uint8_t>(make, n));
          }
          break;
        case kTagStripOffsets:
        case kTagJpegOffset:
          if (!LoadElements(r, width, count, field, value, offsets, budget)) return false;
          break;
        case kTagStripByteCounts:
        case kTagJpegLength:
          if (!LoadElements(r, width, count, field, value, counts, budget)) return false;
          break;
        case kTagSubIfds:
          // The last SubIFD offset; a single one sits in the value field itself.
          if (ext == u"NEF" && count != 0) {
            if (dataBytes <= kValueFieldBytes) {
              next = value;
            } else {
              uint8_t last[4];
              if (!r.ReadAt(uint64_t(value) + dataBytes - sizeof last, last, sizeof last)) return false;
              next = r.U32(last);
            }
          }
          break;
        case kTagDngPrivateData:
          if (ext == u"ARW") next = value;
          break;
        default:
          break;
      }
      if (dataBytes > kValueFieldBytes) len = std::max<uint64_t>(len, uint64_t(value) + dataBytes);
    }

    if (offsets.nCount != counts.nCount) return false;
    for (uint64_t i = 0; i < offsets.nCount; ++i)
      len = std::max<uint64_t>(len, uint64_t(offsets.At(r, i)) + counts.At(r, i));
    o = next;
  } while (o != 0);

  return v.m_bScanTIF || ext != u"TIF";
}
}  // namespace rules
