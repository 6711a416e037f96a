// Bounded little- and big-endian loads from disk bytes.
//
// Every parser reads on-disk structures through these helpers instead of casting
// pointers: a load that would run past the span answers nothing instead of reading
// out of bounds. The unchecked Raw* forms are for buffers whose size was checked once
// at a gate (an MFT record, a boot sector copy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bytes {

inline uint16_t RawLE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t RawLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t RawLE64(const uint8_t* p) { return uint64_t(RawLE32(p)) | (uint64_t(RawLE32(p + 4)) << 32); }
inline uint16_t RawBE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t RawBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t RawBE64(const uint8_t* p) { return (uint64_t(RawBE32(p)) << 32) | RawBE32(p + 4); }

inline bool Fits(std::span<const uint8_t> s, size_t offset, size_t size) {
  return offset <= s.size() && size <= s.size() - offset;
}

inline std::optional<uint8_t> LoadU8(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 1)) return std::nullopt;
  return s[off];
}
inline std::optional<uint16_t> LoadLE16(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 2)) return std::nullopt;
  return RawLE16(s.data() + off);
}
inline std::optional<uint32_t> LoadLE32(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 4)) return std::nullopt;
  return RawLE32(s.data() + off);
}
inline std::optional<uint64_t> LoadLE64(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 8)) return std::nullopt;
  return RawLE64(s.data() + off);
}
inline std::optional<uint16_t> LoadBE16(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 2)) return std::nullopt;
  return RawBE16(s.data() + off);
}
inline std::optional<uint32_t> LoadBE32(std::span<const uint8_t> s, size_t off) {
  if (!Fits(s, off, 4)) return std::nullopt;
  return RawBE32(s.data() + off);
}

// Sequential reader: each Read fails without moving when the span is too short.
class CByteReader {
 public:
  explicit CByteReader(std::span<const uint8_t> data, bool bigEndian = false)
      : m_data(data), m_bBigEndian(bigEndian) {}
  size_t Position() const { return m_nPos; }
  size_t Remaining() const { return m_data.size() - m_nPos; }
  bool Skip(size_t n) {
    if (n > Remaining()) return false;
    m_nPos += n;
    return true;
  }
  bool ReadU8(uint8_t& v) {
    if (Remaining() < 1) return false;
    v = m_data[m_nPos++];
    return true;
  }
  bool ReadU16(uint16_t& v) {
    if (Remaining() < 2) return false;
    v = m_bBigEndian ? RawBE16(&m_data[m_nPos]) : RawLE16(&m_data[m_nPos]);
    m_nPos += 2;
    return true;
  }
  bool ReadU32(uint32_t& v) {
    if (Remaining() < 4) return false;
    v = m_bBigEndian ? RawBE32(&m_data[m_nPos]) : RawLE32(&m_data[m_nPos]);
    m_nPos += 4;
    return true;
  }
  bool ReadU64(uint64_t& v) {
    if (Remaining() < 8) return false;
    v = m_bBigEndian ? RawBE64(&m_data[m_nPos]) : RawLE64(&m_data[m_nPos]);
    m_nPos += 8;
    return true;
  }

 private:
  std::span<const uint8_t> m_data;
  size_t m_nPos = 0;
  bool m_bBigEndian;
};

}  // namespace bytes
