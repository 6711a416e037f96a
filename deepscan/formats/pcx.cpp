// PCX (ZSoft Paintbrush): a 128-byte header, then run-length encoded scan lines.
//
// Format notes: encoding byte 2 is 1 (RLE); bits per pixel at 3; Ymin at 6 and Ymax at
// 10 (16-bit); planes at 65; bytes per line at 66; palette info at 68 (1 colour, 2 grey).
// The image is (Ymax - Ymin + 1) x bytes per line x planes decoded bytes; a byte with
// both top bits set is a run of (byte & 0x3F) copies of the next byte, any other byte is
// itself. The length counts header and image data only: the 769-byte VGA palette that
// 8-bit files append is not included.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace {
bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }
}  // namespace

namespace rules {
bool MeasurePcx(CLogicalDriver& v, uint64_t unit, const uint8_t* h, std::u16string&, uint64_t& len) {
  if (h[2] != 1) return false;
  if (h[3] != 1 && h[3] != 2 && h[3] != 4 && h[3] != 8) return false;
  if (h[64] != 0) return false;
  const uint16_t paletteInfo = bytes::RawLE16(h + 68);
  if (paletteInfo != 1 && paletteInfo != 2) return false;

  len = 128;
  if (!v.StreamSeek(unit) || v.StreamSkip(128) < 0) return false;
  // At most 65,536 x 65,535 x 127 bytes, which needs 64 bits; the line count and the
  // plane count may be negative, and then there is no image data.
  int64_t n = (int64_t(bytes::RawLE16(h + 10)) - int64_t(bytes::RawLE16(h + 6)) + 1) *
              int64_t(bytes::RawLE16(h + 66)) * int64_t(int8_t(h[65]));
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
  return true;
}
}  // namespace rules
