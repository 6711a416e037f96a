// An NTFS volume over arbitrary bytes (at most 4 MiB), read the way the program reads one:
// attached as a lost volume is (the first 512 bytes are its boot sector) and opened, which
// reads record 0 and the MFT's runs; the whole MFT read and indexed; the folder tree listed
// folder by folder from the root; every file's sizes taken from its data attribute and its
// contents written out (resident, in runs across extents, sparse, compressed); and the
// orphans gathered under "DeletedFiles" listed and read the same way.
//
// The seeds in corpus/fuzz_ntfs_volume are compacted volumes, about 120 KiB each: the boot
// sector, the MFT moved right behind it (its first records, up to the last one used), and the
// data of the files moved behind the MFT, run lists and sizes rewritten to match:
//   mk-tree      a 3 MiB volume made by mkntfs (512-byte sectors and clusters, 1 KiB records)
//                and filled through ntfs-3g: folders two deep, an empty one, files resident,
//                fragmented, sparse and compressed, one deleted;
//   mk-edits     the same with a folder and a compressed file marked deleted, the deleted file
//                moved under a file record (an orphan for "DeletedFiles"), and the MFT in two
//                runs stored in reverse order;
//   fixture-ntfs ntfs.img of tests/fixtures (4 KiB clusters; long and non-ASCII names, an
//                empty file);
//   win-*        the three Windows-made images of the test data (4 KiB clusters, paired DOS
//                and Win32 names, an LZNT1-compressed file);
//   regression-compressed-size  mk-tree with its compressed file's real and initialized
//                sizes set to 1 TiB: only what the runs map may be written.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzWalk.h"
#include "ntfs/NTFSDirectory.h"

namespace {
constexpr size_t kMaxInput = 4u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512);
  auto handle = CRawDevice::FromMemory(bytes);
  CNTFSDriver ntfs;
  ntfs.m_hDevice = handle;
  if (!ntfs.Attach(handle, bytes.data(), 0) || !ntfs.Open(0, DRIVE_FIXED, u"n", true)) return 0;
  if (!ntfs.ScanMft(nullptr)) return 0;
  // The whole tree, "DeletedFiles" and its orphans included; "LostFiles" is the deep scan's.
  WalkTree(ntfs.m_pRoot, ntfs.m_pLostFolder, [](CFSFile* f) { static_cast<CNTFSFile*>(f)->TakeDataSizes(); });
  return 0;
}
