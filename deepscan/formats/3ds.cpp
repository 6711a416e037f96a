// Autodesk 3DS: the main chunk (id 0x4D4D) gives its own length at byte 2, and it spans
// the whole file.
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool Measure3ds(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  len = bytes::RawLE32(h + 2);
  return true;
}
}  // namespace rules
