// The preview's archive listings over arbitrary bytes: the ZIP lister (central directory,
// ZIP64 records, the local-header walk of a cut-off archive) and the RAR lister (versions
// 1.5 to 4 and 5). Seeds: the ZIP archives of tests/fixtures/preview and small RAR 4 and
// RAR 5 archives with one file each.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "preview/ArchiveListing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<CArchiveEntry> entries;
  (void)ListZipEntries(data, size, entries);
  (void)ListRarEntries(data, size, entries);
  return 0;
}
