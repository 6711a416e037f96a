// HTML.
//
// Format notes: the file runs from "<html>" to the closing "</html>", in any letter
// case; the search starts after the opening tag.
#include "deepscan/formats/EndMarker.h"

namespace {
constexpr uint64_t kOpeningTagBytes = 6;  // "<html>"
}  // namespace

namespace rules {
bool MeasureHtml(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  return MeasureToMarker(v, unit, kOpeningTagBytes, "</html>", true, len);
}
}  // namespace rules
