// JPEG: a walk over the marker segments after the start-of-image marker up to the first
// start-of-scan, then a search for the end-of-image marker FF D9.
//
// Format notes: each segment is FF, a marker byte and a big-endian 16-bit length that
// counts itself but not the marker. A large Huffman table segment (DHT, C4, length of
// 208 or more) is walked table by table instead: a class/id byte, 16 code counts and
// as many code values as the counts sum to, until the FF that introduces the next marker.
// An end-of-image marker before any scan means there is no picture to carve.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"

namespace {
bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }

bool ReadBE16(CLogicalDriver& v, uint16_t& n) {
  uint8_t b[2];
  if (v.StreamRead(b, 2) != 2) return false;
  n = uint16_t((b[0] << 8) | b[1]);
  return true;
}

constexpr uint64_t kStartOfImageBytes = 2;  // FF D8
constexpr uint8_t kEndOfImageMarker = 0xD9;
constexpr uint8_t kStartOfScanMarker = 0xDA;
constexpr uint8_t kHuffmanTableMarker = 0xC4;
constexpr uint16_t kWalkedDhtLength = 0xD0;
constexpr size_t kDhtCodeCounts = 16;  // code counts per table, one per code length
constexpr int kMaxFillBytes = 64;       // FF fill bytes allowed before one marker

// A marker that may stand between the start of the image and its first scan: frame and
// table markers (C0..CF), restart-free control markers (DA..DF), the application segments
// (E0..EF), the extensions (F0..FD) and comments (FE). Random data that begins FF D8 gives
// anything else in the next byte far more often than not.
bool IsHeaderMarker(uint8_t m) { return m >= 0xC0 && m != 0xFF && !(m >= 0xD0 && m <= 0xD8); }
}  // namespace

namespace rules {
bool MeasureJpeg(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  if (!v.StreamSeek(unit) || v.StreamSkip(kStartOfImageBytes) < 0) return false;
  len = kStartOfImageBytes;
  bool skipPrefix = true;
  for (;;) {
    // Every pass moves the stream forward and adds at least that much to len.
    if (len >= kMaxCarveLength) return false;
    uint8_t marker = 0;
    if (skipPrefix) {
      // The segment must be followed by a marker: FF (fill bytes FF may repeat), then the
      // marker byte.
      uint8_t prefix = 0;
      if (!ReadByte(v, prefix) || prefix != 0xFF) return false;
    }
    if (!ReadByte(v, marker)) return false;
    len += 2;
    for (int fill = 0; marker == 0xFF; ++fill) {
      if (fill == kMaxFillBytes || !ReadByte(v, marker)) return false;
      ++len;
    }
    if (marker == kEndOfImageMarker || !IsHeaderMarker(marker)) return false;
    if (marker == kStartOfScanMarker) {
      static const uint8_t kEndOfImage[2] = {0xFF, 0xD9};
      int64_t d = v.StreamFind(kEndOfImage, 2, false);
      if (d < 0) return false;
      len += uint64_t(d);
      return true;
    }
    uint16_t segment = 0;
    if (!ReadBE16(v, segment)) return false;
    if (marker == kHuffmanTableMarker && segment >= kWalkedDhtLength) {
      uint8_t t = 0;
      if (!ReadByte(v, t)) return false;
      len += 3;
      while (t != 0xFF) {
        if (len >= kMaxCarveLength) return false;
        uint8_t counts[kDhtCodeCounts];
        if (v.StreamRead(counts, kDhtCodeCounts) != kDhtCodeCounts) return false;
        uint64_t values = 0;
        for (uint8_t c : counts) values += c;
        if (v.StreamSkip(values) < 0 || !ReadByte(v, t)) return false;
        len += values + kDhtCodeCounts + 1;  // the counts and the next class/id byte
      }
      // The FF that ended the walk was counted; it is the next marker's prefix.
      len -= 1;
      skipPrefix = false;
      continue;
    }
    // A length below 2 would point back into the segment's own header.
    if (segment < 2 || v.StreamSkip(segment - 2u) < 0) return false;
    len += segment;
    skipPrefix = true;
  }
}
}  // namespace rules
