// PCX (ZSoft Paintbrush): a 128-byte header, then run-length encoded scan lines.
//
// Format notes: encoding byte 2 is 1 (RLE); bits per pixel at 3; Ymin at 6 and Ymax at
// 10 (16-bit, little-endian); a reserved zero byte at 64; planes at 65; bytes per line at
// 66; palette info at 68 (1 colour, 2 grey). The image is (Ymax - Ymin + 1) x bytes per
// line x planes decoded bytes; a byte with both top bits set is a run of (byte & 0x3F)
// copies of the next byte, any other byte is itself. An image of one 8-bit plane is
// followed by its 256-colour palette: the byte 0C and 768 bytes of colours, which belong
// to the file when that byte is there.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"

namespace {
// Header                          offset  size  meaning
constexpr size_t kEncodingAt = 2;       // 1   1: run-length encoded
constexpr size_t kBitsPerPixelAt = 3;   // 1   1, 2, 4 or 8 (per plane)
constexpr size_t kYMinAt = 6;           // 2   first line
constexpr size_t kYMaxAt = 10;          // 2   last line
constexpr size_t kReservedAt = 64;      // 1   0
constexpr size_t kPlanesAt = 65;        // 1   colour planes (signed here)
constexpr size_t kBytesPerLineAt = 66;  // 2   per plane
constexpr size_t kPaletteInfoAt = 68;   // 2   1 colour, 2 grey
constexpr uint64_t kHeaderBytes = 128;
constexpr uint8_t kRunLengthEncoded = 1;
constexpr uint8_t kPaletteMark = 0x0C;
constexpr uint64_t kPaletteBytes = 768;

bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }
}  // namespace

namespace rules {
bool MeasurePcx(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  if (HeaderU8<kEncodingAt>(h) != kRunLengthEncoded) return false;
  const uint8_t bits = HeaderU8<kBitsPerPixelAt>(h);
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return false;
  if (HeaderU8<kReservedAt>(h) != 0) return false;
  const uint16_t paletteInfo = HeaderLE16<kPaletteInfoAt>(h);
  if (paletteInfo != 1 && paletteInfo != 2) return false;

  len = kHeaderBytes;
  if (!v.StreamSeek(unit) || v.StreamSkip(kHeaderBytes) < 0) return false;
  // At most 65,536 x 65,535 x 127 bytes, which needs 64 bits; the line count and the
  // plane count may be negative, and then there is no image data.
  int64_t n = (int64_t(HeaderLE16<kYMaxAt>(h)) - int64_t(HeaderLE16<kYMinAt>(h)) + 1) *
              int64_t(HeaderLE16<kBytesPerLineAt>(h)) * int64_t(int8_t(HeaderU8<kPlanesAt>(h)));
  while (n > 0) {
    // Every pass reads at least one byte and counts it.
    if (len >= kMaxCarveLength) return false;
    uint8_t b = 0;
    if (!ReadByte(v, b)) return false;
    len += 1;
    if ((b & 0xC0) == 0xC0) {
      int64_t run = b & 0x3F;
      uint8_t data = 0;
      if (!ReadByte(v, data)) return false;
      len += 1;
      if (run > n) return false;
      n -= run;
    } else {
      n -= 1;
    }
  }
  if (bits == 8 && HeaderU8<kPlanesAt>(h) == 1) {
    uint8_t mark = 0;
    if (ReadByte(v, mark) && mark == kPaletteMark && v.StreamSkip(kPaletteBytes - 1) >= 0 &&
        ReadByte(v, mark))
      len += 1 + kPaletteBytes;
  }
  return true;
}
}  // namespace rules
