// Standard MIDI file.
//
// Format notes: the 14-byte header chunk "MThd" (big-endian 16-bit track count at 10),
// then one "MTrk" chunk per track, each an 8-byte chunk header and a body whose
// big-endian 32-bit length is at byte 4 of the chunk.
//
// Measuring: the track chunks are walked, the header of each read at its own offset from
// the file's start, until the declared number has been counted. A file that declares no
// track is not carved. The walk makes at most 65,535 steps, each adding at least 8 bytes;
// it fails on a chunk that is not "MTrk", at the device end and at the carve limit.
#include <cstring>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// Header chunk                  offset  size  meaning
constexpr size_t kTrackCountAt = 10;  // 2   tracks that follow
constexpr uint64_t kHeaderChunkBytes = 14;
// Track chunk header
constexpr size_t kChunkLengthAt = 4;  // 4   bytes of the body
constexpr uint64_t kChunkHeaderBytes = 8;
static_assert(kChunkLengthAt + 4 <= kChunkHeaderBytes);
}  // namespace

namespace rules {
bool MeasureMidi(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  const uint32_t tracks = HeaderBE16<kTrackCountAt>(h);
  if (tracks == 0) return false;
  len = kHeaderChunkBytes;
  for (uint32_t counted = 0; counted < tracks; ++counted) {
    uint8_t chunk[kChunkHeaderBytes];
    if (!v.StreamSeek(unit) || v.StreamSkip(len) < 0) return false;
    if (v.StreamRead(chunk, kChunkHeaderBytes) != kChunkHeaderBytes) return false;
    if (std::memcmp(chunk, "MTrk", 4) != 0) return false;
    len += uint64_t(bytes::RawBE32(chunk + kChunkLengthAt)) + kChunkHeaderBytes;
    if (len >= kMaxCarveLength) return false;
  }
  return true;
}
}  // namespace rules
