// Helpers of the unit stream through which every extent rule reads a volume.
#pragma once

#include <cstddef>
#include <cstdint>

// The smallest index at which the m pattern bytes lie within the first length bytes of
// buffer and match; -1 when there is none. The first byte is always compared exactly;
// with ignoreCase every further buffer byte 'A'..'Z' is compared as its lower-case letter
// (the pattern must then be given in lower case).
int64_t FindInBuffer(const uint8_t* buffer, size_t length, const uint8_t* pattern, size_t m, bool ignoreCase);

// A measured length must be at least 1 and below this many bytes to be carved.
constexpr uint64_t kMaxCarveLength = 0x20000000;
// The end-marker search gives up at the sixth header-like unit it enters.
constexpr int kMaxHeadersCrossed = 5;
