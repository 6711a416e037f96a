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
#include <string_view>
#include <vector>

#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace {
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
  uint16_t U16(const uint8_t* p) const { return m_bBigEndian ? bytes::RawBE16(p) : bytes::RawLE16(p); }
  uint32_t U32(const uint8_t* p) const { return m_bBigEndian ? bytes::RawBE32(p) : bytes::RawLE32(p); }
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

  uint32_t At(const CTiffReader& r, uint64_t i) const {
    const uint8_t* p = data.data() + i * nWidth;
    return nWidth == 1 ? *p : nWidth == 2 ? r.U16(p) : r.U32(p);
  }
};

// Takes the elements from the value field when they fit there, else reads them at
// value; budget is what the file may still read for its arrays.
bool LoadElements(CTiffReader& r, uint32_t width, uint32_t count, const uint8_t* field, uint32_t value,
                  CElements& e, uint64_t& budget) {
  // Offsets and byte counts are bytes, shorts or longs; wider elements cannot be measured.
  if (width != 1 && width != 2 && width != 4) return false;
  const uint64_t n = uint64_t(width) * count;
  e.nWidth = width;
  e.nCount = count;
  if (n <= 4) {
    e.data.assign(field, field + 4);
    return true;
  }
  if (count > kMaxArrayElements || n > budget) return false;
  budget -= n;
  e.data.resize(n);
  return r.ReadAt(value, e.data.data(), n);
}

// The extension named by a Make text: the first known maker it contains, upper-cased.
const char16_t* MakerExtension(const uint8_t* text, size_t n) {
  std::string upper(reinterpret_cast<const char*>(text), n);
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
bool MeasureTiff(CLogicalDriver& v, uint64_t unit, const uint8_t* h, std::u16string& ext, uint64_t& len) {
  ext = u"TIF";
  CTiffReader r(v, unit, h[0] == 'M' && h[1] == 'M');
  uint32_t o = r.U32(h + 4);
  len = o;

  std::set<uint32_t> visited;
  std::vector<uint8_t> ifd(size_t(kMaxIfdEntries) * 12 + 4);
  uint64_t budget = kMaxArrayBytes;
  do {
    // A chain that comes back to a directory would never end.
    if (visited.size() >= kMaxIfds || !visited.insert(o).second) return false;
    uint8_t countBytes[2];
    if (!r.ReadAt(o, countBytes, 2)) return false;
    const uint16_t entries = r.U16(countBytes);
    if (entries > kMaxIfdEntries) return false;
    len = std::max<uint64_t>(len, uint64_t(o) + 12u * entries + 6);
    const size_t ifdBytes = size_t(entries) * 12 + 4;
    if (v.StreamRead(ifd.data(), ifdBytes) != ifdBytes) return false;
    uint32_t next = r.U32(ifd.data() + size_t(entries) * 12);

    CElements offsets, counts;
    for (size_t i = 0; i < entries; ++i) {
      const uint8_t* entry = ifd.data() + i * 12;
      const uint16_t tag = r.U16(entry);
      const uint32_t width = TypeSize(r.U16(entry + 2));
      if (width == 0) continue;
      const uint32_t count = r.U32(entry + 4);
      const uint8_t* field = entry + 8;
      const uint64_t dataBytes = uint64_t(width) * count;
      // Two bytes of data sit in the first half of the value field.
      const uint32_t value = dataBytes == 2 ? r.U16(field) : r.U32(field);
      if (count > kMaxFieldValue || value > kMaxFieldValue) return false;

      switch (tag) {
        case kTagMake:
          if (dataBytes > 4) {
            uint8_t make[kMakeBytes];
            const size_t n = size_t(std::min<uint64_t>(dataBytes, kMakeBytes));
            if (!r.ReadAt(value, make, n)) return false;
            ext = MakerExtension(make, n);
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
            if (dataBytes <= 4) {
              next = value;
            } else {
              uint8_t last[4];
              if (!r.ReadAt(uint64_t(value) + dataBytes - 4, last, 4)) return false;
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
      if (dataBytes > 4) len = std::max<uint64_t>(len, uint64_t(value) + dataBytes);
    }

    if (offsets.nCount != counts.nCount) return false;
    for (uint64_t i = 0; i < offsets.nCount; ++i)
      len = std::max<uint64_t>(len, uint64_t(offsets.At(r, i)) + counts.At(r, i));
    o = next;
  } while (o != 0);

  return v.m_bScanTIF || ext != u"TIF";
}
}  // namespace rules
