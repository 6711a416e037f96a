// Outlook Express DBX.
//
// Format notes: the file header holds the file size, 32-bit little-endian, at 0x7C.
#include "deepscan/formats/HeaderFields.h"

namespace {
// File header                   offset  size  meaning
constexpr size_t kFileSizeAt = 0x7C;  // 4   the whole file
}  // namespace

namespace rules {
bool MeasureDbx(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  len = HeaderLE32<kFileSizeAt>(h);
  return true;
}
}  // namespace rules
