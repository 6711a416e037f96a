// The lost-volume search over arbitrary bytes: the input is a small disk image (at most
// 1 MiB, padded to whole 512-byte sectors) with no partition table to speak of. The disk is
// set up as the command line's disk is, over the bytes in memory; every sector is searched
// for FAT and NTFS boot sectors, each volume found is opened over the disk's handle at its
// sector, and the root folder of each is listed.
//
// The seeds in corpus/fuzz_lost_partitions are images of zeros, cut after their last data,
// holding a 200 KiB FAT12 volume made by mkfs.fat and a 229-sector NTFS volume (the mk-tree
// seed of fuzz_ntfs_volume) at odd sectors: each alone, the FAT one right after the NTFS one
// (also with a copy of the NTFS boot sector between them, where NTFS keeps its backup) and
// inside its sector range, and with their boot sectors' sector counts zero or huge.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/Document.h"
#include "app/LostVolumes.h"
#include "device/LostPartitions.h"
#include "device/PhysicalDriver.h"
#include "tree/DirEntry.h"

namespace {
constexpr size_t kMaxInput = 1u << 20;
constexpr size_t kSector = 512;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + kSector - 1) / kSector * kSector + (bytes.empty() ? kSector : 0), 0);

  CPhysicalDriver disk;
  disk.m_hDevice = CRawDevice::FromMemory(std::move(bytes));
  disk.m_nBytesPerSector = disk.m_nBytesPerCluster = kSector;
  disk.m_nSectorsPerCluster = 1;
  disk.m_nClusterCount = disk.m_hDevice->Size() / kSector;
  disk.m_pUnitBuffer.assign(kSector, 0);
  disk.m_nFirstUnit = 0;
  disk.m_nLastUnit = disk.m_nClusterCount;

  CKelvoDoc doc(false);
  (void)FindLostVolumes(disk, doc, nullptr);
  for (const auto& volume : doc.Volumes()) {
    CDirectory* root = volume->m_pRoot;
    if (!root) continue;
    root->LoadChildren(true, false, true);
    (void)root->HasSubfolders(true);
    for (const auto& child : root->m_children) {
      (void)child->GetSize();
      (void)child->GetCreatedText();
    }
  }
  return 0;
}
