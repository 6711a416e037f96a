#include "device/PhysicalDriver.h"

#include <mutex>
#include <vector>

#include "platform/Enumerate.h"
#include "platform/Text.h"

namespace disks {
namespace {
struct Slot {
  std::string strPath;
  std::u16string strProduct;
  int32_t nDriveType = 3;
};
std::mutex g_mutex;
bool g_bUseSystem = true;
bool g_bSystemListed = false;
std::vector<Slot> g_slots;

void EnsureSystemListed() {
  if (g_bSystemListed) return;
  g_bSystemListed = true;
  if (!g_bUseSystem) return;
  std::vector<Slot> system;
  for (const auto& d : enumerate::ListSystemDisks()) system.push_back({d.strPath, d.strProduct, d.nDriveType});
  g_slots.insert(g_slots.begin(), system.begin(), system.end());
  if (g_slots.size() > kMaxDiskNumber + 1) g_slots.resize(kMaxDiskNumber + 1);
}

std::u16string ImageProduct(const std::string& path) {
  return text::FromUtf8(path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1));
}
}  // namespace

void UseSystemDisks(bool use) {
  std::lock_guard lock(g_mutex);
  g_bUseSystem = use;
}

int AddImage(const std::string& path) {
  std::lock_guard lock(g_mutex);
  EnsureSystemListed();
  for (size_t i = 0; i < g_slots.size(); ++i)
    if (g_slots[i].strPath == path) return static_cast<int>(i);
  if (g_slots.size() > kMaxDiskNumber) return -1;
  g_slots.push_back({path, ImageProduct(path), 3});
  return static_cast<int>(g_slots.size() - 1);
}

std::string PathOf(int n) {
  std::lock_guard lock(g_mutex);
  EnsureSystemListed();
  if (n < 0 || static_cast<size_t>(n) >= g_slots.size()) return {};
  return g_slots[static_cast<size_t>(n)].strPath;
}

void Reset() {
  std::lock_guard lock(g_mutex);
  g_slots.clear();
  g_bSystemListed = false;
}

bool Describe(int n, std::u16string& product, int32_t& driveType) {
  std::lock_guard lock(g_mutex);
  EnsureSystemListed();
  if (n < 0 || static_cast<size_t>(n) >= g_slots.size()) return false;
  product = g_slots[static_cast<size_t>(n)].strProduct;
  driveType = g_slots[static_cast<size_t>(n)].nDriveType;
  return true;
}
}  // namespace disks

DeviceHandle OpenPhysicalDrive(int n, DiskInfo& info, std::string* error) {
  std::u16string product;
  int32_t driveType = 0;
  if (!disks::Describe(n, product, driveType)) {
    if (error) *error = "no disk number " + std::to_string(n);
    return nullptr;
  }
  std::string path = disks::PathOf(n);
  DeviceHandle dev = CRawDevice::OpenPath(path, error);
  if (!dev) return nullptr;
  info = DiskInfo{};
  info.szProduct = product.substr(0, 255);
  info.nDriveType = driveType;
  // Disks are always handled in 512-byte sectors, whatever their own sector size.
  info.nSectorCount = dev->Size() / 512;
  info.nSectorCount2 = info.nSectorCount;
  info.strPath = path;
  return dev;
}

bool CPhysicalDriver::Detect(std::string* error) {
  DiskInfo info;
  m_hDevice = OpenPhysicalDrive(m_nDevice, info, error);
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
