// TGA.
//
// Format notes: only version-2 files, which end with the 26-byte footer whose last 18
// bytes are "TRUEVISION-XFILE." and a zero byte, can be measured; a TGA without the
// footer is not carved. The search starts after the first three header bytes (ID
// length, colour map type, image type).
#include "deepscan/formats/EndMarker.h"

namespace {
constexpr uint64_t kSearchFrom = 3;
}  // namespace

namespace rules {
bool MeasureTga(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, kSearchFrom, "TRUEVISION-XFILE.\0", false, len);
}
}  // namespace rules
