// RIFF (AVI, WAV): the 32-bit chunk size at byte 4 counts everything after the first
// eight bytes.
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasureRiff(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  len = uint64_t(bytes::RawLE32(h + 4)) + 8;
  return true;
}
}  // namespace rules
