// Fields of a rule's header (the first kRuleHeaderBytes bytes of the start unit) at fixed
// offsets. Each load goes through the bounded loads of platform/ByteReader.h, and its
// offset is checked against the header's size when the rule is compiled: a field that
// would lie past the header does not build, so no load can fail at run time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace rules {
template <size_t At, size_t N>
constexpr bool kFieldInHeader = At <= kRuleHeaderBytes && N <= kRuleHeaderBytes - At;

template <size_t At>
uint8_t HeaderU8(RuleHeader h) {
  static_assert(kFieldInHeader<At, 1>, "field past the rule header");
  return *bytes::LoadU8(h, At);
}
template <size_t At>
uint16_t HeaderLE16(RuleHeader h) {
  static_assert(kFieldInHeader<At, 2>, "field past the rule header");
  return *bytes::LoadLE16(h, At);
}
template <size_t At>
uint32_t HeaderLE32(RuleHeader h) {
  static_assert(kFieldInHeader<At, 4>, "field past the rule header");
  return *bytes::LoadLE32(h, At);
}
template <size_t At>
uint16_t HeaderBE16(RuleHeader h) {
  static_assert(kFieldInHeader<At, 2>, "field past the rule header");
  return *bytes::LoadBE16(h, At);
}
template <size_t At>
uint32_t HeaderBE32(RuleHeader h) {
  static_assert(kFieldInHeader<At, 4>, "field past the rule header");
  return *bytes::LoadBE32(h, At);
}
// The N bytes at At.
template <size_t At, size_t N>
std::span<const uint8_t, N> HeaderBytes(RuleHeader h) {
  static_assert(kFieldInHeader<At, N>, "field past the rule header");
  return h.subspan<At, N>();
}
// Whether the bytes at At are those of text (without its terminating zero; zeros inside
// it are compared).
template <size_t At, size_t N>
bool HeaderEquals(RuleHeader h, const char (&text)[N]) {
  static_assert(kFieldInHeader<At, N - 1>, "field past the rule header");
  return std::memcmp(h.data() + At, text, N - 1) == 0;
}
}  // namespace rules
