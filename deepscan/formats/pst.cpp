// Outlook PST: byte 10 tells the format; the 32-bit (ANSI, 0x0E) format keeps the file
// size at 0xA8, the 64-bit (Unicode, 0x17) format at 0xB8 (its low 32 bits are used).
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
bool MeasurePst(CLogicalDriver&, uint64_t, const uint8_t* h, std::u16string&, uint64_t& len) {
  if (h[10] == 0x0E) len = bytes::RawLE32(h + 0xA8);
  else if (h[10] == 0x17) len = bytes::RawLE32(h + 0xB8);
  else return false;
  return true;
}
}  // namespace rules
