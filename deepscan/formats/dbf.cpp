// dBASE table.
//
// Format notes: the header size (16-bit at 8) plus the record count (32-bit at 4) times
// the record size (16-bit at 10), all little-endian, is the table; an end-of-file byte 0x1A
// usually follows the records and belongs to the file. The header is 32 bytes of table
// fields (version at 0, last update as year-1900, month, day at 1..3), then one 32-byte
// descriptor per field (name in 11 bytes, type letter at 11), ended by 0x0D.
//
// A find must look like a table before it is one: a month and day that exist, a header of
// at least one field descriptor and its terminator, records of at least one byte, at least
// one record, and a first field with a name and a known type. Two zero bytes in the right
// places, which is all the signature asks for, are found in any log or database file.
#include <cstring>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"
#include "deepscan/formats/HeaderFields.h"

namespace {
// Table header                  offset  size  meaning
constexpr size_t kMonthAt = 2;        // 1   last update: month 1..12
constexpr size_t kDayAt = 3;          // 1   last update: day 1..31
constexpr size_t kRecordCountAt = 4;  // 4   records in the table
constexpr size_t kHeaderSizeAt = 8;   // 2   bytes before the first record
constexpr size_t kRecordSizeAt = 10;  // 2   bytes per record
constexpr size_t kFirstFieldAt = 32;  // the first field descriptor
constexpr size_t kFieldTypeAt = 11;   // within a descriptor
constexpr size_t kMinHeaderSize = kFirstFieldAt + 32 + 1;  // one field and the terminator
constexpr uint8_t kFieldTerminator = 0x0D, kEndOfFile = 0x1A;
// Field types of dBASE, FoxPro and Visual FoxPro tables.
constexpr const char kFieldTypes[] = "CNLDFMBGPYTIVWQ@O+0";
}  // namespace

namespace rules {
bool MeasureDbf(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  const uint8_t month = h[kMonthAt], day = h[kDayAt];
  const uint16_t headerSize = HeaderLE16<kHeaderSizeAt>(h), recordSize = HeaderLE16<kRecordSizeAt>(h);
  const uint32_t records = HeaderLE32<kRecordCountAt>(h);
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  if (headerSize < kMinHeaderSize || recordSize == 0 || records == 0) return false;
  const uint8_t firstName = h[kFirstFieldAt], firstType = h[kFirstFieldAt + kFieldTypeAt];
  if (firstName < 0x20 || firstName >= 0x7F || !firstType || !std::strchr(kFieldTypes, firstType)) return false;
  if (headerSize <= h.size() && h[headerSize - 1] != kFieldTerminator) return false;
  len = uint64_t(recordSize) * records + headerSize;
  // The end-of-file byte after the records, when there.
  uint8_t last = 0;
  if (v.StreamSeek(unit) && v.StreamSkip(len) >= 0 && v.StreamRead(&last, 1) == 1 && last == kEndOfFile) ++len;
  return true;
}
}  // namespace rules
