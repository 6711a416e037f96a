// DXF (AutoCAD text exchange).
//
// Format notes: lines of group codes and values, ended by CR LF (AutoCAD) or LF alone (most
// other writers); the file's last line is "EOF", after the group code 0, and may lack its
// line end. Measured to the first "EOF" line from the first byte.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"

namespace {
// "EOF" text inside a value (a drawing's text entity) is followed by more text; a
// further search is made after each such place, a bounded number of times.
constexpr int kMaxFalseEnds = 64;
}  // namespace

namespace rules {
bool MeasureDxf(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  if (!v.StreamSeek(unit)) return false;
  static constexpr uint8_t kEnd[] = {'\n', 'E', 'O', 'F'};
  uint64_t at = 0;
  for (int tries = 0; tries < kMaxFalseEnds; ++tries) {
    const int64_t d = v.StreamFind(kEnd, sizeof kEnd, false);
    if (d < 0) return false;
    at += uint64_t(d);
    uint8_t c = 0;
    // The file may end with the device: "EOF" is then its last line.
    if (v.StreamRead(&c, 1) != 1) {
      len = at;
      return true;
    }
    if (c == '\n') {
      len = at + 1;
      return true;
    }
    if (c == '\r') {
      uint8_t n = 0;
      len = at + 1 + (v.StreamRead(&n, 1) == 1 && n == '\n' ? 1 : 0);
      return true;
    }
    // A printable byte continues the line: not the end line. Anything else is what lies
    // after a file whose last line has no line end (slack, zeros).
    if (c < 0x20 || c > 0x7E) {
      len = at;
      return true;
    }
    at += 1;
  }
  return false;
}
}  // namespace rules
