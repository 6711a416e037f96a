// Fujifilm RAF: "FUJIFILMCCD-RAW" header; the raw sensor data is the file's last part,
// and its offset (big-endian, at 100) plus its length (at 104) is the file's length.
#include <cstring>

#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasureRaf(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  if (std::memcmp(h + 4, "FILMCCD-", 8) != 0 || std::memcmp(h + 12, "RAW", 3) != 0) return false;
  len = uint64_t(bytes::RawBE32(h + 100)) + bytes::RawBE32(h + 104);
  return true;
}
}  // namespace rules
