// RAR (1.5 to 4.x): marker block, then blocks up to the end-of-archive block, found by
// its seven bytes C4 3D 7B 00 40 07 00.
#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasureRar(CLogicalDriver& v, uint64_t unit, const uint8_t*, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, 7, "\xC4\x3D\x7B\x00\x40\x07\x00", 7, false, len);
}
}  // namespace rules
