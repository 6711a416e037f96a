// RIFF (AVI, WAV).
//
// Format notes: "RIFF", then the 32-bit little-endian chunk size at 4, which counts
// everything after the first eight bytes (the id and the size).
#include "deepscan/formats/HeaderFields.h"

namespace {
// RIFF chunk                  offset  size  meaning
constexpr size_t kChunkSizeAt = 4;  // 4   bytes after the chunk header
constexpr uint64_t kChunkHeaderBytes = 8;
}  // namespace

namespace rules {
bool MeasureRiff(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  len = uint64_t(HeaderLE32<kChunkSizeAt>(h)) + kChunkHeaderBytes;
  return true;
}
}  // namespace rules
