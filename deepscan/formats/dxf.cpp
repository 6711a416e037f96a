// DXF (AutoCAD text exchange).
//
// Format notes: group code and value lines; the file ends with the line "EOF" (CR LF),
// searched for from the first byte.
#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasureDxf(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, 0, "EOF\r\n", false, len);
}
}  // namespace rules
