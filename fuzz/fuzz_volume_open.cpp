// Opens FAT and NTFS volumes over arbitrary bytes: the boot-sector parsers and the
// geometry derived from them. The first 512 bytes are the boot sector; the rest is the
// volume behind it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fat/FATDriver.h"
#include "ntfs/NTFSDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512);
  auto handle = CRawDevice::FromMemory(bytes);
  {
    CFATDriver fat;
    fat.m_hDevice = handle;
    if (fat.Attach(handle, bytes.data(), 0) && fat.Open(0, DRIVE_FIXED, u"fuzz", true)) {
      std::vector<uint8_t> cluster(fat.m_nBytesPerCluster);
      fat.ReadCluster(fat.m_nFirstUnit, 0, cluster.data());
      (void)fat.GetSizeText();
    }
  }
  {
    CNTFSDriver ntfs;
    ntfs.m_hDevice = handle;
    if (ntfs.Attach(handle, bytes.data(), 0) && ntfs.Open(0, DRIVE_FIXED, u"fuzz", true)) {
      std::vector<uint8_t> cluster(ntfs.m_nBytesPerCluster);
      ntfs.ReadCluster(ntfs.m_nLastUnit, 0, cluster.data());
      (void)ntfs.GetSizeText();
    }
  }
  return 0;
}
