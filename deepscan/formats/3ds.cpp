// Autodesk 3DS.
//
// Format notes: the file is one main chunk (id 0x4D4D, "MM") whose 32-bit little-endian
// length at 2 counts the chunk header and everything in it, so it is the file's length.
#include "deepscan/formats/HeaderFields.h"

namespace {
// Main chunk                    offset  size  meaning
constexpr size_t kChunkLengthAt = 2;  // 4   the whole chunk, its 6-byte header included
}  // namespace

namespace rules {
bool Measure3ds(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  len = HeaderLE32<kChunkLengthAt>(h);
  return true;
}
}  // namespace rules
