// RAR (1.5 to 4.x).
//
// Format notes: the 7-byte marker block "Rar!" 1A 07 00, then blocks up to the
// end-of-archive block, found by its seven bytes C4 3D 7B 00 40 07 00.
#include "deepscan/formats/EndMarker.h"

namespace {
constexpr uint64_t kMarkerBlockBytes = 7;
}  // namespace

namespace rules {
bool MeasureRar(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, kMarkerBlockBytes, "\xC4\x3D\x7B\x00\x40\x07\x00", false, len);
}
}  // namespace rules
