// LZNT1 decompression over arbitrary bytes, into a 64 KiB output (a compression unit of 16
// clusters of 4 KiB) and into a 4 KiB one (a unit of 16 clusters of 256 bytes, and the
// size of one chunk). Each output is a heap block of exactly its size, so a write past it
// is caught. The input is cut at 64 KiB (a unit's stored clusters never exceed the unit).
//
// The seeds in corpus/fuzz_lznt1 are the stored clusters of compressed units: of the two
// files that ntfs-3g compressed on a fuzz_ntfs_volume seed, and of the compressed file of a
// Windows-made image; and hand-made chunks: stored, back-references at growing positions (each
// split of offset and length bits), one at the chunk's first byte, a chunk size past the input.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ntfs/Lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (64u << 10)) size = 64u << 10;
  auto in = std::make_unique<uint8_t[]>(size ? size : 1);
  for (size_t i = 0; i < size; ++i) in[i] = data[i];
  for (size_t outSize : {size_t(64) << 10, size_t(4) << 10}) {
    auto out = std::make_unique<uint8_t[]>(outSize);
    (void)DecompressLznt1(in.get(), size, out.get(), outSize);
  }
  return 0;
}
