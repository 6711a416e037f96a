// ZIP and the office-open documents stored in it (DOCX, XLSX, PPTX).
//
// Format notes: local file headers ("PK" 03 04, 30 bytes: 32-bit compressed size at 18,
// 16-bit name length at 26, 16-bit extra-field length at 28, the name at 30) each followed
// by name, extra field and data; then the central directory and the end-of-central-
// directory record ("PK" 05 06 and 18 fixed bytes, then an optional comment).
//
// Measuring: an office-open document names "[Content_Types].xml" first (or, written by
// LibreOffice, "_rels/.rels"); when an office type is enabled its members are walked until
// one lies in "word/", "xl/" or "ppt/", which decides the extension. Where the walk cannot
// go on (a member whose sizes follow its data, in a data descriptor) or reaches the central
// directory, and for LibreOffice's archives, the central directory's names decide instead. The
// length then runs to the end of the fixed part of the end record: an archive comment
// after it is not included. Each member step reads a 30-byte header, so the walk always
// advances; it fails at the device end and at the carve limit.
#include <cstring>
#include <span>
#include <string_view>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/HeaderFields.h"
#include "platform/ByteReader.h"

namespace {
// Local file header                     offset  size  meaning
constexpr size_t kCompressedSizeAt = 18;      // 4   the member's data
constexpr size_t kNameLengthAt = 26;          // 2   bytes of the name
constexpr size_t kExtraLengthAt = 28;         // 2   bytes of the extra field
constexpr size_t kNameAt = 30;                //     the name, then the extra field, then the data
constexpr size_t kLocalHeaderBytes = 30;
static_assert(kExtraLengthAt + 2 <= kLocalHeaderBytes);
constexpr size_t kMaxNameRead = 260;
constexpr uint64_t kEndRecordRemainder = 18;  //     the end record after its signature
constexpr size_t kCommentLengthAt = 16;       // 2   in that remainder: the comment's length
constexpr char kContentTypes[] = "[Content_Types].xml";
constexpr size_t kContentTypesLength = sizeof kContentTypes - 1;
constexpr char kPackageRelations[] = "_rels/.rels";  // LibreOffice's first member
constexpr size_t kPackageRelationsLength = sizeof kPackageRelations - 1;
constexpr size_t kFlagsAt = 6;                // 2   bit 3: sizes in a data descriptor after the data
constexpr uint16_t kDataDescriptorFlag = 0x08;
// End record after its signature        offset  size
constexpr size_t kEndEntriesAt = 6;           // 2   entries in the central directory
constexpr size_t kEndDirectoryOffsetAt = 12;  // 4   where the central directory begins
// Central directory entry                offset  size
constexpr size_t kCentralHeaderBytes = 46;
constexpr size_t kCentralNameLengthAt = 28;   // 2   then extra (30) and comment (32) lengths
constexpr size_t kCentralExtraLengthAt = 30;
constexpr size_t kCentralCommentLengthAt = 32;

bool StartsWith(std::span<const uint8_t> name, std::string_view prefix) {
  return name.size() >= prefix.size() && std::memcmp(name.data(), prefix.data(), prefix.size()) == 0;
}
}  // namespace

namespace {
// The office type an archive's member name puts it in, among the enabled ones; null for none.
const char16_t* OfficeTypeOf(const CLogicalDriver& v, std::span<const uint8_t> name) {
  if (v.m_bScanDOCX && StartsWith(name, "word/")) return u"DOCX";
  if (v.m_bScanXLSX && StartsWith(name, "xl/")) return u"XLSX";
  if (v.m_bScanPPTX && StartsWith(name, "ppt/")) return u"PPTX";
  return nullptr;
}

// From the stream position, the bytes up to the end of the end record's fixed part (-1
// when there is none before the search gives up), and that part after the signature in
// tail, when it can be read (tailRead).
int64_t FindEndRecord(CLogicalDriver& v, uint8_t (&tail)[kEndRecordRemainder], bool& tailRead) {
  const int64_t d = v.StreamFind(reinterpret_cast<const uint8_t*>("PK\x05\x06"), 4, false);
  if (d < 0) return -1;
  tailRead = v.StreamRead(tail, kEndRecordRemainder) == kEndRecordRemainder;
  return d + int64_t(kEndRecordRemainder);
}

// Measures the archive by its end record and takes its office type from the central
// directory's names: for archives whose members cannot be walked (sizes in data
// descriptors, as streaming writers and LibreOffice leave them). The directory is read
// through the stream from unit + its offset, every entry bounded; a directory that does
// not lie inside the measured archive is not read.
bool MeasureByDirectory(CLogicalDriver& v, uint64_t unit, std::u16string& extension, uint64_t& len) {
  extension = u"ZIP";
  if (!v.StreamSeek(unit)) return false;
  uint8_t tail[kEndRecordRemainder];
  bool tailRead = false;
  const int64_t end = FindEndRecord(v, tail, tailRead);
  if (end < 0 || !tailRead) return false;
  len = uint64_t(end) + bytes::RawLE16(tail + kCommentLengthAt);
  const uint64_t entries = bytes::RawLE16(tail + kEndEntriesAt), offset = bytes::RawLE32(tail + kEndDirectoryOffsetAt);
  if (offset >= len || !v.StreamSeek(unit) || v.StreamSkip(offset) < 0) return true;
  uint8_t header[kCentralHeaderBytes];
  uint8_t name[kMaxNameRead];
  for (uint64_t k = 0; k < entries; ++k) {
    // Every entry reads its 46-byte header: the walk advances, at most 65,535 times.
    if (v.StreamRead(header, kCentralHeaderBytes) != kCentralHeaderBytes) break;
    if (std::memcmp(header, "PK\x01\x02", 4) != 0) break;
    const size_t n = bytes::RawLE16(header + kCentralNameLengthAt);
    const size_t kept = n < kMaxNameRead ? n : kMaxNameRead;
    if (v.StreamRead(name, kept) != kept) break;
    if (const char16_t* type = OfficeTypeOf(v, {name, kept})) {
      extension = type;
      break;
    }
    const uint64_t rest = (n - kept) + bytes::RawLE16(header + kCentralExtraLengthAt) +
                          bytes::RawLE16(header + kCentralCommentLengthAt);
    if (rest && v.StreamSkip(rest) < 0) break;
  }
  return true;
}
}  // namespace

namespace rules {
bool MeasureZip(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string& extension, uint64_t& len) {
  extension = u"ZIP";
  len = 0;
  if (!v.StreamSeek(unit)) return false;

  const bool office = v.m_bScanDOCX || v.m_bScanXLSX || v.m_bScanPPTX;
  if (office && HeaderLE16<kNameLengthAt>(h) == kPackageRelationsLength && HeaderEquals<kNameAt>(h, kPackageRelations))
    return MeasureByDirectory(v, unit, extension, len) && (extension != u"ZIP" || v.m_bScanZIP);
  if (office && (HeaderU8<kNameLengthAt>(h) == kContentTypesLength || HeaderU8<kNameLengthAt + 1>(h) == 0) &&
      HeaderEquals<kNameAt>(h, kContentTypes)) {
    uint8_t header[kLocalHeaderBytes];
    uint8_t name[kMaxNameRead];
    for (;;) {
      if (v.StreamRead(header, kLocalHeaderBytes) != kLocalHeaderBytes) return false;
      len += kLocalHeaderBytes;
      if (len >= kMaxCarveLength) return false;
      // A member whose size is in a data descriptor cannot be skipped; the central
      // directory then says what the archive holds. So does the directory when the walk
      // reaches it without an office member.
      if (std::memcmp(header, "PK\x03\x04", 4) != 0 ||
          ((bytes::RawLE16(header + kFlagsAt) & kDataDescriptorFlag) && bytes::RawLE32(header + kCompressedSizeAt) == 0))
        return MeasureByDirectory(v, unit, extension, len) && (extension != u"ZIP" || v.m_bScanZIP);
      const size_t n = bytes::RawLE16(header + kNameLengthAt);
      if (n == 0) continue;
      const size_t kept = n < kMaxNameRead ? n : kMaxNameRead;
      if (v.StreamRead(name, kept) != kept) return false;
      if (n > kept && v.StreamSkip(n - kept) < 0) return false;
      len += n;
      const std::span<const uint8_t> read(name, kept);
      if (const char16_t* type = OfficeTypeOf(v, read)) {
        extension = type;
        break;
      }
      const uint64_t rest =
          uint64_t(bytes::RawLE16(header + kExtraLengthAt)) + bytes::RawLE32(header + kCompressedSizeAt);
      if (len + rest >= kMaxCarveLength) return false;  // len < 2^30 and rest < 2^33 here
      if (rest && v.StreamSkip(rest) < 0) return false;
      len += rest;
    }
  }

  uint8_t tail[kEndRecordRemainder];
  bool tailRead = false;
  const int64_t end = FindEndRecord(v, tail, tailRead);
  if (end < 0) return false;
  // The archive comment's length ends the fixed part; the comment follows it.
  len += uint64_t(end) + (tailRead ? bytes::RawLE16(tail + kCommentLengthAt) : 0);
  return true;
}
}  // namespace rules
