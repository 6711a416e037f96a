#include "ntfs/Lznt1.h"

#include <algorithm>
#include <cstring>

bool DecompressLznt1(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  std::memset(out, 0, outSize);
  size_t ip = 0, op = 0;
  while (ip + 2 <= inSize && op < outSize) {
    uint16_t header = uint16_t(in[ip] | (in[ip + 1] << 8));
    ip += 2;
    if (header == 0) break;
    size_t chunkSize = (header & 0x0FFF) + 1;
    if (chunkSize > inSize - ip) return false;
    const uint8_t* chunk = in + ip;
    ip += chunkSize;
    const size_t chunkStart = op;
    const size_t chunkEnd = std::min(outSize, chunkStart + 4096);
    if (!(header & 0x8000)) {
      size_t n = std::min(chunkSize, chunkEnd - op);
      std::memcpy(out + op, chunk, n);
      op += n;
      continue;
    }
    size_t cp = 0;
    while (cp < chunkSize && op < chunkEnd) {
      uint8_t flags = chunk[cp++];
      for (int bit = 0; bit < 8 && cp < chunkSize && op < chunkEnd; ++bit) {
        if (!(flags & (1 << bit))) {
          out[op++] = chunk[cp++];
          continue;
        }
        if (cp + 2 > chunkSize) return false;
        uint16_t token = uint16_t(chunk[cp] | (chunk[cp + 1] << 8));
        cp += 2;
        size_t pos = op - chunkStart;
        if (pos == 0) return false;  // a reference before any byte of the chunk
        unsigned lengthBits = 12;
        for (size_t p = pos - 1; p >= 0x10; p >>= 1) --lengthBits;
        size_t offset = (size_t(token) >> lengthBits) + 1;
        size_t length = (token & ((1u << lengthBits) - 1)) + 3;
        if (offset > pos) return false;
        for (size_t k = 0; k < length && op < chunkEnd; ++k, ++op) out[op] = out[op - offset];
      }
    }
    // A compressed chunk shorter than 4096 bytes of output ends the unit's data unless
    // more chunks follow; the next chunk starts at the next 4096-byte boundary.
    if (op < chunkEnd && ip + 2 <= inSize && (in[ip] | (in[ip + 1] << 8)) != 0) op = chunkEnd;
  }
  return true;
}
