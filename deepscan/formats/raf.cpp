// Fujifilm RAF.
//
// Format notes: the header begins "FUJIFILMCCD-RAW"; the raw sensor data is the file's
// last part, and its offset (big-endian, at 100) plus its length (at 104) is the file's
// length.
#include "deepscan/formats/HeaderFields.h"

namespace {
// File header                   offset  size  meaning
constexpr size_t kMagicTailAt = 4;    // 8   "FILMCCD-" (the matcher checked "FUJI")
constexpr size_t kRawTagAt = 12;      // 3   "RAW"
constexpr size_t kRawOffsetAt = 100;  // 4   where the raw data begins
constexpr size_t kRawLengthAt = 104;  // 4   its length
}  // namespace

namespace rules {
bool MeasureRaf(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  if (!HeaderEquals<kMagicTailAt>(h, "FILMCCD-") || !HeaderEquals<kRawTagAt>(h, "RAW")) return false;
  len = uint64_t(HeaderBE32<kRawOffsetAt>(h)) + HeaderBE32<kRawLengthAt>(h);
  return true;
}
}  // namespace rules
