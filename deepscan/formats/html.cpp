// HTML.
//
// Format notes: the file runs from "<html>" to the closing "</html>", in any letter
// case, and the line end after it (LF or CR LF) when there is one; the search starts after
// the opening tag.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/EndMarker.h"

namespace {
constexpr uint64_t kOpeningTagBytes = 6;  // "<html>"
}  // namespace

namespace rules {
bool MeasureHtml(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  if (!MeasureToMarker(v, unit, kOpeningTagBytes, "</html>", true, len)) return false;
  // The stream stands after the tag.
  uint8_t end[2] = {};
  const uint64_t got = v.StreamRead(end, 1);
  if (got == 1 && end[0] == '\n') {
    len += 1;
  } else if (got == 1 && end[0] == '\r' && v.StreamRead(end + 1, 1) == 1 && end[1] == '\n') {
    len += 2;
  }
  return true;
}
}  // namespace rules
