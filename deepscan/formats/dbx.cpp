// Outlook Express DBX: the header holds the file size at 0x7C.
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasureDbx(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  len = bytes::RawLE32(h + 0x7C);
  return true;
}
}  // namespace rules
