// Little-endian byte writers for the tests that build on-disk structures by hand (boot
// sectors, directory entries, MFT records, file headers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline void PutLE16(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 2; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLE64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
// The same at an offset of a buffer, which grows to hold the value.
inline void PutLE16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2, 0);
  PutLE16(b.data() + at, v);
}
inline void PutLE32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  PutLE32(b.data() + at, v);
}
inline void PutLE64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  if (b.size() < at + 8) b.resize(at + 8, 0);
  PutLE64(b.data() + at, v);
}
