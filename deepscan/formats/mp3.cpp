// MPEG-1 Layer III audio (MP3): a run of frames, each a 4-byte big-endian frame header and
// its data, optionally preceded by an ID3v2 tag and followed by a 128-byte ID3v1 tag
// ("TAG").
//
// Format notes: a frame header has 11 sync bits set, version bits 20-19 = 11 (MPEG-1),
// layer bits 18-17 = 01 (Layer III), a bitrate index (bits 15-12, 15 is invalid), a sample
// rate index (bits 11-10: 44.1, 48, 32 kHz; 3 is invalid) and a padding bit (bit 9). The
// frame length is 144 x bitrate / sample rate, truncated, plus the padding bit.
//
// Measuring: frames are walked until a header is not valid; a single frame is not
// carved, and a trailing "TAG" adds 128 bytes. A frame shorter than its own header (the
// "free" bitrate index 0) fails the rule, so each step advances at least 4 bytes; the walk
// also fails at the device end and at the carve limit.
#include <cstring>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// ID3v2 tag header           offset  size  meaning
constexpr size_t kId3MagicAt = 0;  // 3   "ID3"
constexpr size_t kId3SizeAt = 6;   // 4   tag size after the header, 7 bits per byte, big-endian
constexpr uint64_t kId3v2HeaderBytes = 10;

constexpr uint64_t kFrameHeaderBytes = 4;
constexpr uint64_t kId3v1Bytes = 128;

// kbit/s by bitrate index, MPEG-1 Layer III.
constexpr uint32_t kBitrates[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
// Hz by sample rate index.
constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};

bool IsValidHeader(uint32_t h) {
  return (h & 0xFFE00000u) == 0xFFE00000u && ((h >> 19) & 3) == 3 && ((h >> 17) & 3) == 1 && ((h >> 12) & 15) != 15;
}

// The frame length of a valid header, or 0 when its sample rate index is 3. Integer
// arithmetic truncates exactly as 144 x kbit/s / kHz does.
uint64_t FrameLength(uint32_t h) {
  uint32_t rate = (h >> 10) & 3;
  if (rate == 3) return 0;
  return uint64_t(144000) * kBitrates[(h >> 12) & 15] / kSampleRates[rate] + ((h >> 9) & 1);
}

// Reads and decodes the next frame header and skips the frame's data: the frame length,
// or 0 when the header is not valid; -1 when the rule fails.
int64_t NextFrame(CLogicalDriver& v, bool& valid) {
  uint8_t field[kFrameHeaderBytes];
  if (v.StreamRead(field, kFrameHeaderBytes) != kFrameHeaderBytes) return -1;
  const uint32_t h = bytes::RawBE32(field);
  valid = IsValidHeader(h);
  if (!valid) return 0;
  const uint64_t f = FrameLength(h);
  if (f < kFrameHeaderBytes) return -1;
  if (f > kFrameHeaderBytes && v.StreamSkip(f - kFrameHeaderBytes) < 0) return -1;
  return int64_t(f);
}
}  // namespace

namespace rules {
bool MeasureMp3(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  uint64_t tag = 0;
  if (HeaderEquals<kId3MagicAt>(h, "ID3")) {
    for (uint8_t b : HeaderBytes<kId3SizeAt, 4>(h)) tag = (tag << 7) | (b & 0x7F);
    tag += kId3v2HeaderBytes;
  }
  if (!v.StreamSeek(unit)) return false;
  if (tag && v.StreamSkip(tag) < 0) return false;

  bool valid = false;
  int64_t f = NextFrame(v, valid);
  if (f < 0 || !valid) return false;
  const uint64_t first = tag + uint64_t(f);
  len = first;
  for (;;) {
    f = NextFrame(v, valid);
    if (f < 0) return false;
    if (!valid) break;
    len += uint64_t(f);
    if (len >= kMaxCarveLength) return false;
  }
  if (len <= first) return false;  // a single frame

  // A trailing ID3v1 tag; the file is carved without it when it cannot be read.
  uint8_t trailer[3];
  if (v.StreamSeek(unit) && v.StreamSkip(len) >= 0 && v.StreamRead(trailer, 3) == 3 &&
      std::memcmp(trailer, "TAG", 3) == 0)
    len += kId3v1Bytes;
  return true;
}
}  // namespace rules
