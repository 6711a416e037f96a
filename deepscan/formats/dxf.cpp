// DXF (AutoCAD text exchange): the file ends with the line "EOF" (CR LF).
#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasureDxf(CLogicalDriver& v, uint64_t unit, const uint8_t*, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, 0, "EOF\r\n", 5, false, len);
}
}  // namespace rules
