// dBASE table.
//
// Format notes: the header size (16-bit at 8) plus the record count (32-bit at 4) times
// the record size (16-bit at 10), all little-endian, is the length. An end-of-file byte
// 0x1A after the records is not counted.
#include "deepscan/formats/HeaderFields.h"

namespace {
// Table header                  offset  size  meaning
constexpr size_t kRecordCountAt = 4;  // 4   records in the table
constexpr size_t kHeaderSizeAt = 8;   // 2   bytes before the first record
constexpr size_t kRecordSizeAt = 10;  // 2   bytes per record
}  // namespace

namespace rules {
bool MeasureDbf(CLogicalDriver&, uint64_t, RuleHeader h, std::u16string&, uint64_t& len) {
  len = uint64_t(HeaderLE16<kRecordSizeAt>(h)) * HeaderLE32<kRecordCountAt>(h) + HeaderLE16<kHeaderSizeAt>(h);
  return true;
}
}  // namespace rules
