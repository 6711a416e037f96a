// LZNT1, the compression of NTFS compressed streams.
//
// Format notes: a compression unit (normally 16 clusters) is either stored whole (all
// its clusters allocated), sparse (none allocated: zeros), or compressed into fewer
// clusters. Compressed data is a sequence of chunks of at most 4096 output bytes, each
// with a 16-bit header: bits 0-11 the chunk's stored size minus 1, bit 15 set when the
// chunk is compressed; a header of 0 ends the data. A compressed chunk is groups of a
// flag byte and eight tokens: a literal byte (flag bit 0) or a 16-bit back-reference
// whose split between offset and length bits depends on the position in the chunk.
#pragma once

#include <cstddef>
#include <cstdint>

// Decompresses in into out (outSize bytes, the unit's size); the bytes after the data
// ends are zeros. False when the data is malformed (a reference before the chunk's
// start, a chunk past the input).
bool DecompressLznt1(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);
