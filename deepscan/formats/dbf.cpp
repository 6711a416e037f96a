// dBASE table: header size (16-bit at 8) plus record count (32-bit at 4) times record
// size (16-bit at 10). An end-of-file byte 0x1A after the records is not counted.
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasureDbf(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  len = uint64_t(bytes::RawLE16(h + 10)) * bytes::RawLE32(h + 4) + bytes::RawLE16(h + 8);
  return true;
}
}  // namespace rules
