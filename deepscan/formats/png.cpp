// PNG: signature, then chunks up to the empty IEND chunk, found by its 12 bytes (length
// 0, "IEND", CRC AE 42 60 82).
#include <cstring>

#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasurePng(CLogicalDriver& v, uint64_t unit, const uint8_t* h, std::u16string&, uint64_t& len) {
  if (std::memcmp(h + 4, "\x0D\x0A\x1A\x0A", 4) != 0) return false;
  return MeasureToMarker(v, unit, 8, "\x00\x00\x00\x00IEND\xAE\x42\x60\x82", 12, false, len);
}
}  // namespace rules
