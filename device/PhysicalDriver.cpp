#include "device/PhysicalDriver.h"

#include "platform/Text.h"

namespace {
std::u16string ImageProduct(const std::string& path) {
  return text::FromUtf8(path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1));
}
}  // namespace

void CDiskTable::EnsureSystemListed() {
  if (m_bSystemListed) return;
  m_bSystemListed = true;
  if (!m_listSystem) return;
  std::vector<DiskSlot> system = m_listSystem();
  m_slots.insert(m_slots.begin(), system.begin(), system.end());
  if (m_slots.size() > kMaxDiskNumber + 1) m_slots.resize(kMaxDiskNumber + 1);
}

int CDiskTable::AddImage(const std::string& path) {
  std::lock_guard lock(m_mutex);
  EnsureSystemListed();
  for (size_t i = 0; i < m_slots.size(); ++i)
    if (m_slots[i].strPath == path) return static_cast<int>(i);
  if (m_slots.size() > kMaxDiskNumber) return -1;
  m_slots.push_back({path, ImageProduct(path), DRIVE_FIXED});
  return static_cast<int>(m_slots.size() - 1);
}

int CDiskTable::AddSlot(const DiskSlot& slot) {
  std::lock_guard lock(m_mutex);
  EnsureSystemListed();
  if (m_slots.size() > kMaxDiskNumber) return -1;
  m_slots.push_back(slot);
  return static_cast<int>(m_slots.size() - 1);
}

int CDiskTable::Count() {
  std::lock_guard lock(m_mutex);
  EnsureSystemListed();
  return static_cast<int>(m_slots.size());
}

bool CDiskTable::Slot(int n, DiskSlot& slot) {
  std::lock_guard lock(m_mutex);
  EnsureSystemListed();
  if (n < 0 || static_cast<size_t>(n) >= m_slots.size()) return false;
  slot = m_slots[static_cast<size_t>(n)];
  return true;
}

std::string CDiskTable::PathOf(int n) {
  DiskSlot slot;
  return Slot(n, slot) ? slot.strPath : std::string();
}

DeviceHandle OpenPhysicalDrive(const DiskSlot& slot, DiskInfo& info, std::string* error) {
  DeviceHandle dev = CRawDevice::OpenPath(slot.strPath, error);
  if (!dev) return nullptr;
  info = DiskInfo{};
  info.szProduct = slot.strProduct.substr(0, 255);
  info.nDriveType = slot.nDriveType;
  // Disks are always handled in 512-byte sectors, whatever their own sector size.
  info.nSectorCount = dev->Size() / 512;
  info.nSectorCount2 = info.nSectorCount;
  info.strPath = slot.strPath;
  return dev;
}

bool CPhysicalDriver::Detect(const DiskSlot& slot, std::string* error) {
  DiskInfo info;
  m_hDevice = OpenPhysicalDrive(slot, info, error);
  if (!m_hDevice) return false;
  m_nBytesPerSector = m_nBytesPerCluster = 512;
  m_nSectorsPerCluster = 1;
  m_nClusterCount = info.nSectorCount;
  m_szModel = info.szProduct;
  m_source.strPath = info.strPath;
  m_strRootText = text::FromUtf8(info.strPath);
  return Open(m_nDevice, info.nDriveType, info.szProduct);
}

bool CPhysicalDriver::Open(uint8_t diskNumber, int32_t driveType, const std::u16string& name) {
  m_nDevice = diskNumber;
  SetNameAndType(driveType, name);
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  return true;
}
