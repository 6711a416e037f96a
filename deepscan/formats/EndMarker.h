// The rules that measure a file by searching for its end marker.
#pragma once

#include <cstdint>

#include "deepscan/formats/FormatTable.h"

namespace rules {
// Seeks to unit, skips prefix bytes, then finds the marker (the bytes of the literal
// without its terminating zero; zeros inside it are part of the marker); the length is
// prefix plus the distance to the end of the marker.
template <size_t N>
bool MeasureToMarker(CLogicalDriver& v, uint64_t unit, uint64_t prefix, const char (&marker)[N], bool ignoreCase,
                     uint64_t& len) {
  static_assert(N > 1, "an empty marker");
  if (!v.StreamSeek(unit)) return false;
  if (prefix && v.StreamSkip(prefix) < 0) return false;
  int64_t d = v.StreamFind(reinterpret_cast<const uint8_t*>(marker), N - 1, ignoreCase);
  if (d < 0) return false;
  len = prefix + uint64_t(d);
  return true;
}
}  // namespace rules
