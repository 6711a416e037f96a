// BMP: the file header names the file size; a few header fields must be plausible.
//
// Format notes: "BM", 32-bit file size at 2, two reserved words at 6 and 8 (0), and in
// the info header the plane count at 26 (1), the bit count at 28 and the compression at
// 30. The length is the header's file size; nothing past the first unit is read.
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasureBmp(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  if (bytes::RawLE16(h + 6) != 0 || bytes::RawLE16(h + 8) != 0) return false;
  if (bytes::RawLE32(h + 30) > 5) return false;
  switch (bytes::RawLE16(h + 28)) {
    case 0: case 1: case 4: case 8: case 16: case 24: case 32: break;
    default: return false;
  }
  if (bytes::RawLE16(h + 26) != 1) return false;
  len = bytes::RawLE32(h + 2);
  return true;
}
}  // namespace rules
