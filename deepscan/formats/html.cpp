// HTML: from "<html>" to the closing "</html>" in any letter case.
#include "deepscan/formats/EndMarker.h"

namespace rules {
bool MeasureHtml(CLogicalDriver& v, uint64_t unit, const uint8_t*, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, 6, "</html>", 7, true, len);
}
}  // namespace rules
