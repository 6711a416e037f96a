// GIF: the header and global colour table, then a walk over the blocks up to the
// trailer byte 0x3B.
//
// Format notes: a 13-byte header whose packed byte at 10 announces a global colour table
// of 3 x 2^((packed & 7) + 1) bytes when bit 7 is set. Blocks: 0x21 extensions (label,
// then sub-blocks each led by a size byte, ended by a zero size; the graphic control
// extension 0xF9 is a fixed 4-byte block and its terminator), 0x2C images (8 bytes of
// position and size, a packed byte with the local colour table flag, the LZW code size,
// then sub-blocks), 0x3B trailer. Bytes between blocks that start none of them are
// passed over and not counted.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"

namespace {
// Header                    offset  size  meaning
constexpr size_t kVersionAt = 4;  // 2   "7a" or "9a" (after "GIF8")
constexpr size_t kPackedAt = 10;  // 1   bit 7: a global colour table follows; bits 0-2 its size
constexpr uint64_t kHeaderBytes = 13;

// Block introducers and labels.
constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kColourTableFlag = 0x80;
// Fixed parts of blocks, in the stream.
constexpr uint64_t kGraphicControlBody = 5;  // its size byte (4) and the 4 data bytes
constexpr uint64_t kImagePositionBytes = 8;  // left, top, width, height

bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }

uint64_t ColourTableBytes(uint8_t packed) { return 3ULL << ((packed & 7) + 1); }

// Bytes the stream has moved past since the first byte of the start unit. A GIF that
// reaches this far cannot be carved, so the walk stops there rather than crossing the
// rest of the device.
uint64_t Walked(const CLogicalDriver& v, uint64_t unit) {
  return (v.m_nStreamUnit - unit) * uint64_t(v.m_nBytesPerCluster) + v.m_nStreamPos;
}
}  // namespace

namespace rules {
bool MeasureGif(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  if (!HeaderEquals<kVersionAt>(h, "9a") && !HeaderEquals<kVersionAt>(h, "7a")) return false;
  uint64_t header = kHeaderBytes;
  const uint8_t screen = HeaderU8<kPackedAt>(h);
  if (screen & kColourTableFlag) header += ColourTableBytes(screen);
  if (!v.StreamSeek(unit) || v.StreamSkip(header) < 0) return false;
  len = header;

  // Walks sub-blocks from the first size byte through the zero size, counting each
  // size byte and its data.
  auto subBlocks = [&]() {
    uint8_t s = 0;
    if (!ReadByte(v, s)) return false;
    len += 1;
    while (s != 0) {
      if (Walked(v, unit) >= kMaxCarveLength) return false;
      if (v.StreamSkip(s) < 0) return false;
      len += s;
      if (!ReadByte(v, s)) return false;
      len += 1;
    }
    return true;
  };

  for (;;) {
    if (Walked(v, unit) >= kMaxCarveLength) return false;
    uint8_t b = 0;
    if (!ReadByte(v, b)) return false;
    if (b == kExtensionIntroducer) {
      uint8_t label = 0;
      if (!ReadByte(v, label)) return false;
      if (label == kGraphicControlLabel) {
        // Graphic control: the size byte and 4 data bytes are passed over; the block
        // must end with its zero terminator.
        uint8_t terminator = 0;
        if (v.StreamSkip(kGraphicControlBody) < 0 || !ReadByte(v, terminator) || terminator != 0) return false;
        len += 8;
      } else {
        len += 2;
        if (!subBlocks()) return false;
      }
    } else if (b == kImageSeparator) {
      uint8_t packed = 0;
      if (v.StreamSkip(kImagePositionBytes) < 0 || !ReadByte(v, packed)) return false;
      len += 9;
      if (packed & kColourTableFlag) {
        uint64_t table = ColourTableBytes(packed);
        if (v.StreamSkip(table) < 0) return false;
        len += table;
      }
      // The 9 above counts the separator and the 8 position bytes; this 3 counts the
      // packed byte, the code size byte and the zero size that ends the image data.
      if (v.StreamSkip(1) < 0) return false;
      len += 3;
      uint8_t s = 0;
      if (!ReadByte(v, s)) return false;
      while (s != 0) {
        if (Walked(v, unit) >= kMaxCarveLength) return false;
        len += uint64_t(s) + 1;
        if (v.StreamSkip(s) < 0 || !ReadByte(v, s)) return false;
      }
    } else if (b == kTrailer) {
      len += 1;
      return true;
    }
  }
}
}  // namespace rules
