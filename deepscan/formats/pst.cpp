// Outlook PST.
//
// Format notes: byte 10 tells the format; the 32-bit (ANSI, 0x0E) format keeps the file
// size at 0xA8, the 64-bit (Unicode, 0x17) format at 0xB8 (its low 32 bits are used).
// Sizes are little-endian.
#include "deepscan/formats/HeaderFields.h"

namespace {
// File header                          offset  size  meaning
constexpr size_t kFormatAt = 10;             // 1   0x0E ANSI, 0x17 Unicode
constexpr size_t kAnsiFileSizeAt = 0xA8;     // 4   the whole file (ANSI)
constexpr size_t kUnicodeFileSizeAt = 0xB8;  // 8   the whole file (Unicode); the low half is read
constexpr uint8_t kAnsi = 0x0E, kUnicode = 0x17;
}  // namespace

namespace rules {
bool MeasurePst(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  const uint8_t format = HeaderU8<kFormatAt>(h);
  if (format == kAnsi) len = HeaderLE32<kAnsiFileSizeAt>(h);
  else if (format == kUnicode) len = HeaderLE32<kUnicodeFileSizeAt>(h);
  else return false;
  return true;
}
}  // namespace rules
