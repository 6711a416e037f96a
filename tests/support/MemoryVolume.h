// A virtual volume over bytes in memory, for the deep-scan tests: 512-byte units, units
// 2 to count - 1 as on a disk, every type flag set unless a test changes them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "deepscan/FileTypes.h"
#include "deepscan/VirtualDriver.h"

class CMemoryVolume {
 public:
  // bytes is padded with zeros to a whole number of units.
  explicit CMemoryVolume(std::vector<uint8_t> bytes, uint32_t unitBytes = 512) {
    if (bytes.size() % unitBytes) bytes.resize(bytes.size() + unitBytes - bytes.size() % unitBytes, 0);
    DiskInfo info;
    info.szProduct = u"memory";
    info.nDriveType = 3;
    info.nBytesPerSector = unitBytes;
    info.nSectorsPerCluster = 1;
    info.nSectorCount = bytes.size() / unitBytes;
    info.nSectorCount2 = info.nSectorCount;
    m_volume.InitFromDisk(CRawDevice::FromMemory(std::move(bytes)), info);
    m_volume.Open(0, 3, u"memory", true);
    SetAllScanFlags(m_volume, true);
  }
  CVirtualDriver& Volume() { return m_volume; }

  // Scans every unit for one type alone, as a deep scan with only that type picked; what
  // ScanUnits answers, the finds in found.
  bool ScanFor(ScanFlag type, uint64_t& found) {
    SetAllScanFlags(m_volume, false);
    m_volume.*type = 1;
    found = 0;
    return m_volume.ScanUnits(nullptr, found);
  }

  // Runs the classifier and the rule on unit, as a scan would.
  struct Result {
    bool bOk = false;
    std::u16string strExtension;
    uint64_t nLength = 0;
  };
  Result Measure(uint64_t unit) {
    Result r;
    std::vector<uint8_t> buf(m_volume.m_nBytesPerCluster);
    if (!m_volume.ReadCluster(unit, 0, buf.data())) return r;
    r.bOk = m_volume.MeasureFile(unit, buf.data(), m_volume.m_nBytesPerCluster, r.strExtension, r.nLength);
    return r;
  }

 private:
  CVirtualDriver m_volume;
};

// Places file at sector `sector` of an image of `sectors` zero sectors.
inline std::vector<uint8_t> PlaceAt(const std::vector<uint8_t>& file, uint64_t sector, uint64_t sectors) {
  std::vector<uint8_t> image(sectors * 512, 0);
  if (image.size() < sector * 512 + file.size()) image.resize(sector * 512 + file.size(), 0);
  std::copy(file.begin(), file.end(), image.begin() + long(sector * 512));
  return image;
}
