// PNG.
//
// Format notes: the 8-byte signature 89 "PNG" 0D 0A 1A 0A, then chunks up to the empty
// IEND chunk, found by its 12 bytes (length 0, "IEND", CRC AE 42 60 82).
#include "deepscan/formats/EndMarker.h"
#include "deepscan/formats/HeaderFields.h"

namespace {
// Signature                       offset  size  meaning
constexpr size_t kSignatureTailAt = 4;  // 4   0D 0A 1A 0A
constexpr uint64_t kSignatureBytes = 8;
}  // namespace

namespace rules {
bool MeasurePng(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  if (!HeaderEquals<kSignatureTailAt>(h, "\x0D\x0A\x1A\x0A")) return false;
  return MeasureToMarker(v, unit, kSignatureBytes, "\x00\x00\x00\x00IEND\xAE\x42\x60\x82", false, len);
}
}  // namespace rules
