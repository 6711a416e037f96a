// A FAT volume over arbitrary bytes (at most 1 MiB), read the way the program reads one:
// opened as a lost volume is (the first 512 bytes are its boot sector), its folder tree
// loaded folder by folder, every file's contents written out, then the lost-folder search
// with every type enabled, and the folders it finds loaded and read in turn.
//
// The seeds in corpus/fuzz_fat_volume are the fixture images (tests/fixtures) cut down: the
// first 256 KiB of fat12.img and fat16.img, the first 128 KiB of disk.img's FAT12 partition,
// and fat32.img and reformatted.img with their FATs shortened to their first sectors (boot
// sector fields changed to match) and their data cut after 256 KiB in all.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "deepscan/FileTypes.h"
#include "fat/FATDirectory.h"
#include "tree/OutputFile.h"

namespace {
constexpr size_t kMaxInput = 1u << 20;
// Bounds of the walk, so an input's time goes into parsing rather than into copying: folder
// trees may be exponential (two entries leading to the same folder at every level).
constexpr size_t kMaxNodes = 4000;
constexpr size_t kMaxFileBytes = 128u << 10;

struct CWalk {
  size_t nNodes = 0;

  void Folder(CDirectory* folder, int depth) {
    if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
    (void)folder->HasSubfolders(true);
    for (size_t i = 0; i < folder->m_children.size() && nNodes < kMaxNodes; ++i) {
      CDirEntry* child = folder->m_children[i].get();
      ++nNodes;
      if (!child) continue;
      (void)child->GetCreatedText();
      (void)child->GetAccessedText();
      if (child->IsDirectory()) {
        if (depth < 64) Folder(static_cast<CDirectory*>(child), depth + 1);
      } else {
        CMemoryOutputFile out(kMaxFileBytes);
        static_cast<CFSFile*>(child)->WriteContent(out, nullptr, 0);
      }
    }
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512);
  auto handle = CRawDevice::FromMemory(bytes);
  CFATDriver fat;
  fat.m_hDevice = handle;
  if (!fat.Attach(handle, bytes.data(), 0) || !fat.Open(0, DRIVE_FIXED, u"fuzz", true)) return 0;

  CWalk walk;
  // "LostFiles" would start a scan of its own when loaded without force: mark it loaded.
  if (fat.m_pLostFolder) fat.m_pLostFolder->m_bLoaded = true;
  walk.Folder(fat.m_pRoot, 0);

  // The scan covers the clusters the bytes hold and a few past them (whose reads fail): a
  // boot sector may claim billions of clusters, which a real scan would visit one by one.
  fat.m_bScanDir = true;
  SetAllScanFlags(fat, true);
  uint64_t held = fat.m_nBytesPerCluster ? bytes.size() / fat.m_nBytesPerCluster + 16 : 0;
  if (fat.m_nLastUnit > fat.m_nFirstUnit + held) fat.m_nLastUnit = fat.m_nFirstUnit + held;
  uint64_t found = 0;
  fat.ScanUnits(nullptr, found);
  if (fat.m_pLostFolder) {
    walk.nNodes = 0;
    walk.Folder(fat.m_pLostFolder, 0);
  }
  return 0;
}
