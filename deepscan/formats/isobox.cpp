// ISO base media boxes (QuickTime MOV, MPEG-4, 3GPP, M4V).
//
// Format notes: the file is a run of top-level boxes, each a big-endian 32-bit size
// (header included) and a four-letter type.
//
// Measuring: boxes of the top-level types "ftyp", "moov", "mdat", "free", "skip", "wide"
// and "pnot" are walked and summed; the first box of any other type ends the file (its
// size is not counted). A size of 1 means a big-endian 64-bit size follows the type (the
// header is then 16 bytes); a size of 0 means the box runs to the end of the file, which
// cannot be told from the box, so the file is taken to end where that box begins (the
// length so far). Sizes 2 to 7, and 64-bit sizes below 16, are corrupt and fail the rule.
// Every step advances at least 8 bytes; the walk fails at the device end and at the carve
// limit.
#include <cstring>
#include <span>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"
#include "platform/ByteReader.h"

namespace {
constexpr uint64_t kBoxHeaderBytes = 8;
constexpr uint64_t kLargeBoxHeaderBytes = 16;

bool IsTopLevelBox(std::span<const uint8_t, 4> type) {
  static const char* const s_types[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"};
  for (const char* t : s_types)
    if (std::memcmp(type.data(), t, type.size()) == 0) return true;
  return false;
}
}  // namespace

namespace rules {
bool MeasureBoxes(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  len = 0;
  if (!v.StreamSeek(unit)) return false;
  uint8_t field[8];
  if (v.StreamRead(field, 4) != 4) return false;
  uint64_t size = bytes::RawBE32(field);
  for (;;) {
    uint8_t type[4];
    if (v.StreamRead(type, 4) != 4) return false;
    if (!IsTopLevelBox(type)) return true;
    if (size == 0) return true;  // runs to the end of the file: the file ends where it begins
    uint64_t header = kBoxHeaderBytes;
    if (size == 1) {
      if (v.StreamRead(field, 8) != 8) return false;
      size = bytes::RawBE64(field);
      header = kLargeBoxHeaderBytes;
    }
    if (size < header) return false;
    if (size >= kMaxCarveLength - len) return false;  // len < kMaxCarveLength here
    if (size > header && v.StreamSkip(size - header) < 0) return false;
    len += size;
    if (v.StreamRead(field, 4) != 4) return false;
    size = bytes::RawBE32(field);
  }
}
}  // namespace rules
