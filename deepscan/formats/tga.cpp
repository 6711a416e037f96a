// TGA: only version-2 files, which end with the footer "TRUEVISION-XFILE." and a zero
// byte, can be measured; a TGA without the footer is not carved.
#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasureTga(CLogicalDriver& v, uint64_t unit, const uint8_t*, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, 3, "TRUEVISION-XFILE.\0", 18, false, len);
}
}  // namespace rules
