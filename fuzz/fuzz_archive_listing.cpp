// The ZIP and RAR listers of the preview over arbitrary bytes, each over an exact-size heap
// copy (so that a read past the end is caught) and twice (a listing depends on the bytes
// alone). A lister that answers false leaves the list empty; a ZIP listing holds no folder;
// no listing holds more entries than a walk may visit headers.
//
// The seeds in corpus/fuzz_archive_listing are the archives of tests/fixtures/preview (ZIP
// made by python's zipfile and by Info-ZIP zip: a folder entry, data descriptors, ZIP64 size
// fields, a ZIP64 end record; RAR 4 and RAR 5 with stored files and a folder), RAR 4 and
// RAR 5 archives holding only the marker and the archive header (rar4-marker, rar5-marker),
// and hand-made damage to them: a central directory announcing more entries than it holds,
// an end record cut off, a ZIP64 end record offset outside the file, RAR header sizes 0 and
// past the end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "preview/ArchiveListing.h"

namespace {

bool Same(const std::vector<CArchiveEntry>& a, const std::vector<CArchiveEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].strName != b[i].strName || a[i].nSize != b[i].nSize || a[i].tModified != b[i].tModified) return false;
  return true;
}

void Check(bool (*list)(const uint8_t*, size_t, std::vector<CArchiveEntry>&), const uint8_t* data, size_t size,
           bool zip) {
  std::vector<CArchiveEntry> first, second;
  first.push_back({u"left over", 1, 1});  // a listing replaces what the list held
  const bool ok = list(data, size, first);
  if (!ok && !first.empty()) __builtin_trap();
  if (first.size() > kMaxArchiveHeaders) __builtin_trap();
  if (zip)
    for (const CArchiveEntry& e : first)
      if (!e.strName.empty() && (e.strName.back() == u'/' || e.strName.back() == u'\\')) __builtin_trap();
  if (list(data, size, second) != ok || !Same(first, second)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size ? size : 1);
  if (size) std::memcpy(copy.get(), data, size);
  Check(&ListZipEntries, copy.get(), size, true);
  Check(&ListRarEntries, copy.get(), size, false);
  return 0;
}
