// BMP: the file header names the file size; a few header fields must be plausible.
//
// Format notes: "BM", then the file header and the info header, all fields little-endian
// (offsets below). The length is the header's file size; nothing past the first unit is
// read.
#include "deepscan/formats/HeaderFields.h"

namespace {
// File header and info header    offset  size  meaning
constexpr size_t kFileSizeAt = 2;      // 4   the whole file
constexpr size_t kReserved1At = 6;     // 2   0
constexpr size_t kReserved2At = 8;     // 2   0
constexpr size_t kPlanesAt = 26;       // 2   1
constexpr size_t kBitCountAt = 28;     // 2   0, 1, 4, 8, 16, 24 or 32
constexpr size_t kCompressionAt = 30;  // 4   0 to 5
constexpr uint32_t kMaxCompression = 5;
}  // namespace

namespace rules {
bool MeasureBmp(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  if (HeaderLE16<kReserved1At>(h) != 0 || HeaderLE16<kReserved2At>(h) != 0) return false;
  if (HeaderLE32<kCompressionAt>(h) > kMaxCompression) return false;
  switch (HeaderLE16<kBitCountAt>(h)) {
    case 0: case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
  }
  if (HeaderLE16<kPlanesAt>(h) != 1) return false;
  len = HeaderLE32<kFileSizeAt>(h);
  return true;
}
}  // namespace rules
