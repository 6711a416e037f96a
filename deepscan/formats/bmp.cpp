// BMP: the file header names the file size; the header fields must agree with each other.
//
// Format notes: "BM", then the file header and the info header, all fields little-endian
// (offsets below). The length is the header's file size; nothing past the first unit is
// read. The sizes must agree: an info header of a size Windows writes (40 to 124 bytes),
// pixel data starting after the headers and inside the file, and for uncompressed pixels a
// file large enough for its rows (each padded to 4 bytes). "BM" and a few zero bytes alone
// begin many sectors of other files.
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
constexpr size_t kDataOffsetAt = 10;   // 4   where the pixels begin
constexpr size_t kInfoSizeAt = 14;     // 4   40, 52, 56, 64, 108 or 124
constexpr size_t kWidthAt = 18;        // 4   signed
constexpr size_t kHeightAt = 22;       // 4   signed; negative: rows top down
constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kUncompressed = 0;
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
  const uint32_t infoSize = HeaderLE32<kInfoSizeAt>(h), dataOffset = HeaderLE32<kDataOffsetAt>(h);
  const uint32_t fileSize = HeaderLE32<kFileSizeAt>(h);
  switch (infoSize) {
    case 40: case 52: case 56: case 64: case 108: case 124: break;
    default: return false;
  }
  if (dataOffset < kFileHeaderBytes + infoSize || dataOffset > fileSize) return false;
  const int64_t width = int32_t(HeaderLE32<kWidthAt>(h)), height = int32_t(HeaderLE32<kHeightAt>(h));
  if (width <= 0 || height == 0) return false;
  const uint16_t bits = HeaderLE16<kBitCountAt>(h);
  if (HeaderLE32<kCompressionAt>(h) == kUncompressed && bits != 0) {
    // At most (2^31 x 32 + 31) / 8 bytes a row times 2^31 rows: within 64 bits.
    const uint64_t row = (uint64_t(width) * bits + 31) / 32 * 4;
    const uint64_t rows = uint64_t(height < 0 ? -height : height);
    if (uint64_t(dataOffset) + row * rows > fileSize) return false;
  }
  len = fileSize;
  return true;
}
}  // namespace rules
