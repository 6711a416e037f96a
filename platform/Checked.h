// Checked arithmetic for geometry derived from disk fields: every sum, difference and
// product of values read from a device goes through these, so a hostile boot sector
// makes an open fail instead of wrapping around.
#pragma once

#include <cstdint>
#include <optional>

namespace checked {

template <typename T>
inline std::optional<T> Add(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}
template <typename T>
inline std::optional<T> Sub(T a, T b) {
  T r;
  if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
  return r;
}
template <typename T>
inline std::optional<T> Mul(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

}  // namespace checked
