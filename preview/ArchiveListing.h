// Archive listings for the preview: the file entries of a ZIP or RAR archive held in memory.
//
// Format notes: a ZIP archive ends with its end-of-central-directory record, which locates
// the central directory (ZIP64 archives keep the real values in the ZIP64 end record); a
// recovered archive is often cut off, so without a usable central directory the local
// headers are walked from the start. RAR 1.5 to 4 and RAR 5 are chains of blocks after their
// markers. Every offset and length read from the archive is checked against the bytes held
// before it is used; a damaged header ends the listing with the entries before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One entry of an archive listing.
struct CArchiveEntry {
  std::u16string strName;
  uint64_t nSize = 0;
  int64_t tModified = 0;
};

// The file entries (folders left out) of a ZIP archive held in memory: from its central
// directory, or, when that is missing or damaged (a cut-off recovered file), by walking the
// local headers from the start. False when the bytes hold neither.
bool ListZipEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out);
// The file entries of a RAR archive (versions 1.5 to 4 and version 5). False without the
// RAR marker. A damaged header ends the listing with the entries before it.
bool ListRarEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out);
