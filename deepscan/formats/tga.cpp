// TGA (Truevision).
//
// Format notes: an 18-byte header (ID length at 0, colour map type at 1, image type at 2,
// colour map length at 5 and entry size in bits at 7, width at 12, height at 14, bits per
// pixel at 16, all little-endian), the ID, the colour map, then the image: raw (types 1,
// 2, 3) or run-length packets (types 9, 10, 11: a byte whose top bit marks a run of
// (byte & 0x7F) + 1 copies of one pixel, otherwise that many raw pixels). Version 2 files
// end with an optional extension area (495 bytes) and a 26-byte footer whose last 18 bytes
// are "TRUEVISION-XFILE." and a zero byte.
//
// Measuring: header, ID, colour map and image data (packets decoded to count pixels),
// then the footer when it follows the image directly or after an extension area; files
// without the footer (ImageMagick writes none) are measured too. Each packet reads at
// least its byte, the walk stops at the device end and at the carve limit.
#include <cstring>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"

namespace {
// Header                           offset  size
constexpr size_t kIdLengthAt = 0;         // 1
constexpr size_t kColourMapTypeAt = 1;    // 1   0 none, 1 present
constexpr size_t kImageTypeAt = 2;        // 1
constexpr size_t kMapLengthAt = 5;        // 2   entries
constexpr size_t kMapEntryBitsAt = 7;     // 1
constexpr size_t kWidthAt = 12;           // 2
constexpr size_t kHeightAt = 14;          // 2
constexpr size_t kPixelBitsAt = 16;       // 1
constexpr size_t kDescriptorAt = 17;      // 1   alpha bits, origin; bits 6-7 zero
constexpr uint64_t kHeaderBytes = 18;
constexpr uint64_t kExtensionAreaBytes = 495;
constexpr uint64_t kFooterBytes = 26;
constexpr char kFooterSignature[] = "TRUEVISION-XFILE.";  // and its zero byte
constexpr size_t kSignatureAt = 8;        // in the footer

bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }

// Whether a footer lies at byte offset at of the file.
bool FooterAt(CLogicalDriver& v, uint64_t unit, uint64_t at) {
  uint8_t footer[kFooterBytes];
  return v.StreamSeek(unit) && v.StreamSkip(at) >= 0 && v.StreamRead(footer, kFooterBytes) == kFooterBytes &&
         std::memcmp(footer + kSignatureAt, kFooterSignature, sizeof kFooterSignature) == 0;
}
}  // namespace

namespace rules {
bool MeasureTga(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  const uint8_t mapType = HeaderU8<kColourMapTypeAt>(h), type = HeaderU8<kImageTypeAt>(h);
  const uint8_t pixelBits = HeaderU8<kPixelBitsAt>(h), mapBits = HeaderU8<kMapEntryBitsAt>(h);
  const uint64_t width = HeaderLE16<kWidthAt>(h), height = HeaderLE16<kHeightAt>(h);
  if (mapType > 1 || (type & 7) < 1 || (type & 7) > 3 || (type & ~uint8_t(0x0B)) != 0) return false;
  if (pixelBits != 8 && pixelBits != 15 && pixelBits != 16 && pixelBits != 24 && pixelBits != 32) return false;
  if (width == 0 || height == 0) return false;
  // Without a colour map its five bytes are zero; the descriptor's top two bits (an
  // interleaving no writer uses) are zero too. Bytes 00 00 02 00 alone are found in any
  // binary file.
  if (mapType == 0 && (HeaderU8<3>(h) | HeaderU8<4>(h) | HeaderU8<5>(h) | HeaderU8<6>(h) | HeaderU8<7>(h)) != 0)
    return false;
  if (HeaderU8<kDescriptorAt>(h) & 0xC0) return false;
  const uint64_t pixelBytes = (pixelBits + 7u) / 8u;
  len = kHeaderBytes + HeaderU8<kIdLengthAt>(h);
  if (mapType == 1) len += uint64_t(HeaderLE16<kMapLengthAt>(h)) * ((mapBits + 7u) / 8u);
  uint64_t pixels = width * height;
  if (type < 8) {
    len += pixels * pixelBytes;
  } else {
    if (!v.StreamSeek(unit) || v.StreamSkip(len) < 0) return false;
    while (pixels > 0) {
      if (len >= kMaxCarveLength) return false;
      uint8_t packet = 0;
      if (!ReadByte(v, packet)) return false;
      const uint64_t n = (packet & 0x7Fu) + 1u, data = packet & 0x80 ? pixelBytes : n * pixelBytes;
      if (n > pixels || v.StreamSkip(data) < 0) return false;
      len += 1 + data;
      pixels -= n;
    }
  }
  if (len >= kMaxCarveLength) return false;
  if (FooterAt(v, unit, len)) len += kFooterBytes;
  else if (FooterAt(v, unit, len + kExtensionAreaBytes)) len += kExtensionAreaBytes + kFooterBytes;
  return true;
}
}  // namespace rules
