// The entry lists of ZIP and RAR archives held in memory, as the preview pane shows them:
// file entries only (folders left out), with name, unpacked size and modification time.
// Nothing is unpacked; data and header checksums are not checked.
//
// Format notes:
// - ZIP: an end-of-central-directory record (22 bytes and a comment of up to 65535) names
//   the central directory, which holds one 46-byte header per entry followed by its name,
//   extra field and comment. ZIP64 archives keep the real count, size and offset in a ZIP64
//   end record reached through a locator just before the end record, and 64-bit sizes in
//   extra field 1. Each entry's data follows a 30-byte local header of its own, so an
//   archive cut off before its central directory (a partly recovered file) can still be
//   listed by walking the local headers from the start.
// - RAR 1.5 to 4: a 7-byte marker, then blocks of a 7-byte header (CRC, type, flags, header
//   size) that may announce data following the header. File headers are type 0x74.
// - RAR 5: an 8-byte marker, then blocks of CRC32, header size (vint) and the header, which
//   may announce an extra area and a data area. File headers are type 2.
//
// Bad input ends a walk, never a read: every field is checked against the bytes it lies in
// before it is read, every walk moves forward by at least one header, and no walk visits
// more than kMaxArchiveHeaders headers. A damaged header ends the listing with the entries
// before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// One entry of an archive listing.
struct CArchiveEntry {
  std::u16string strName;
  uint64_t nSize = 0;     // unpacked size
  int64_t tModified = 0;  // seconds since 1970 (DOS times are read as local time); 0 unknown
};

// The most headers one walk visits (central directory entries, local headers, RAR blocks);
// a listing ends there. A 10 MiB ZIP holds fewer than 230,000 entries.
inline constexpr size_t kMaxArchiveHeaders = size_t(1) << 20;

// The file entries of a ZIP archive: from its central directory, or, when that is missing or
// damaged, from its local headers as far as they can be followed (to the first entry whose
// sizes follow its data). False, with out empty, when the bytes hold neither.
bool ListZipEntries(std::span<const uint8_t> archive, std::vector<CArchiveEntry>& out);

// The file entries of a RAR archive, versions 1.5 to 4 and version 5. False, with out empty,
// without the RAR marker at the start.
bool ListRarEntries(std::span<const uint8_t> archive, std::vector<CArchiveEntry>& out);

// The same over data[0, size); a null data is no archive.
inline bool ListZipEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (!data) {
    out.clear();
    return false;
  }
  return ListZipEntries(std::span<const uint8_t>(data, size), out);
}
inline bool ListRarEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (!data) {
    out.clear();
    return false;
  }
  return ListRarEntries(std::span<const uint8_t>(data, size), out);
}
