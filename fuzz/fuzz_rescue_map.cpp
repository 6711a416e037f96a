// The rescue map's reader (GNU ddrescue's mapfile format) over arbitrary text. The input's
// first four bytes are the source's size in bytes (little-endian); the rest is the map's
// text. A map that parses must hold its promises, checked here: its blocks cover the source
// from byte 0 to its size without gaps or empty blocks, each with a block status, no two
// neighbours share one, and written out and read again it is the same map.
//
// The seeds in corpus/fuzz_rescue_map are maps as ddrescue and the imager write them (every
// status, a status line of two and of three columns, decimal and hexadecimal numbers) and
// hand-made edge cases (a gap, an overlap, a block past the end, a number that overflows).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tasks/RescueMap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint64_t bytes = uint64_t(data[0]) | uint64_t(data[1]) << 8 | uint64_t(data[2]) << 16 | uint64_t(data[3]) << 24;
  const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
  CRescueMap map;
  std::string error;
  if (!map.Parse(text, bytes, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  uint64_t expected = 0;
  char previous = 0;
  for (const auto& b : map.Blocks()) {
    if (b.nPos != expected || b.nSize == 0 || !IsRescueBlockStatus(b.cStatus) || b.cStatus == previous) std::abort();
    expected = b.nPos + b.nSize;
    previous = b.cStatus;
  }
  if (expected != bytes) std::abort();
  CRescueMap again;
  if (!again.Parse(map.Format(), bytes, &error) || again.Format() != map.Format()) std::abort();
  return 0;
}
