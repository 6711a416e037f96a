// Adobe Photoshop PSD.
//
// Format notes: all fields big-endian. A 26-byte header, three sections each led by its
// 32-bit length (colour-mode data, image resources, layer and mask information), then
// the merged image data: a 16-bit compression, 0 for raw planes, 1 for PackBits rows
// after a table of 16-bit row byte counts (one per row and channel).
//
// Header: "8BPS", version at 4, reserved zeros, channels at 12 (at most 24), height at
// 14 and width at 18 (at most 30,000), depth at 22 (1, 8 or 16), colour mode at 24.
// A row of a channel is width x depth / 8 bytes, or (width + 7) / 8 bytes at depth 1
// (bitmap rows are padded to whole bytes). The PackBits data is measured by decoding it
// until every channel has height rows of output.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// File header                 offset  size  meaning
constexpr size_t kReservedAt = 6;   // 6   zeros; the first 4 are checked
constexpr size_t kChannelsAt = 12;  // 2   at most 24
constexpr size_t kHeightAt = 14;    // 4   at most 30,000
constexpr size_t kWidthAt = 18;     // 4   at most 30,000
constexpr size_t kDepthAt = 22;     // 2   bits per channel: 1, 8 or 16
constexpr size_t kModeAt = 24;      // 2   colour mode
constexpr uint64_t kHeaderBytes = 26;
constexpr uint64_t kMaxChannels = 24;
constexpr uint64_t kMaxDimension = 30000;
constexpr int kSections = 3;        //     colour-mode data, image resources, layers and masks

bool ReadByte(CLogicalDriver& v, uint8_t& b) { return v.StreamRead(&b, 1) == 1; }

bool ReadBytes(CLogicalDriver& v, uint8_t* b, size_t n) { return v.StreamRead(b, n) == n; }
}  // namespace

namespace rules {
bool MeasurePsd(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  if (HeaderBE32<kReservedAt>(h) != 0) return false;
  const uint64_t channels = HeaderBE16<kChannelsAt>(h);
  const uint64_t height = HeaderBE32<kHeightAt>(h);
  const uint64_t width = HeaderBE32<kWidthAt>(h);
  const uint16_t depth = HeaderBE16<kDepthAt>(h);
  const uint16_t mode = HeaderBE16<kModeAt>(h);
  if (channels > kMaxChannels || height > kMaxDimension || width > kMaxDimension) return false;
  if (depth != 1 && depth != 8 && depth != 16) return false;
  switch (mode) {
    case 0: case 1: case 2: case 3: case 4: case 7: case 8: case 9: break;
    default: return false;
  }
  if (!v.StreamSeek(unit) || v.StreamSkip(kHeaderBytes) < 0) return false;
  len = kHeaderBytes;

  for (int section = 0; section < kSections; ++section) {
    uint8_t b[4];
    if (!ReadBytes(v, b, 4)) return false;
    const uint32_t size = bytes::RawBE32(b);
    if (size && v.StreamSkip(size) < 0) return false;
    len += uint64_t(size) + 4;
  }
  uint8_t b[2];
  if (!ReadBytes(v, b, 2)) return false;
  const uint16_t compression = bytes::RawBE16(b);
  len += 2;

  // The bounds above keep these products far below 2^64.
  const uint64_t rowBytes = depth == 1 ? (width + 7) / 8 : width * (depth / 8);
  const uint64_t planeBytes = rowBytes * height;
  if (compression == 0) {
    len += channels * planeBytes;
    return true;
  }
  if (compression != 1) return false;
  const uint64_t rowCounts = 2 * channels * height;
  if (v.StreamSkip(rowCounts) < 0) return false;
  len += rowCounts;
  for (uint64_t c = 0; c < channels; ++c) {
    uint64_t output = 0;
    while (output < planeBytes) {
      // Every packet reads at least its header byte and counts it, so the walk ends
      // at the carve limit even when the packets produce nothing (0x80).
      if (len >= kMaxCarveLength) return false;
      uint8_t packet = 0;
      if (!ReadByte(v, packet)) return false;
      len += 1;
      if (packet < 0x80) {
        if (v.StreamSkip(uint64_t(packet) + 1) < 0) return false;
        len += uint64_t(packet) + 1;
        output += uint64_t(packet) + 1;
      } else if (packet > 0x80) {
        if (v.StreamSkip(1) < 0) return false;
        len += 1;
        output += 257u - packet;
      }
    }
  }
  return true;
}
}  // namespace rules
