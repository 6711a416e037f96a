#include "app/Document.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/App.h"
#include "deepscan/VirtualDriver.h"
#include "exfat/ExFATDriver.h"
#include "fat/FATDriver.h"
#include "ntfs/NTFSDriver.h"
#include "platform/Enumerate.h"
#include "platform/Text.h"
#include "tasks/TaskRunner.h"

CKelvoDoc::CKelvoDoc(bool includeSystemDevices)
    : m_bIncludeSystem(includeSystemDevices), m_diskTable(includeSystemDevices) {
  TheApp().m_pDoc = this;
}

CKelvoDoc::~CKelvoDoc() {
  // Never tear the devices down under a running worker.
  while (g_bWorkerBusy.load()) {
    if (TheApp().m_pumpMessages) TheApp().m_pumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  m_volumes.clear();
  m_virtualVolumes.clear();
  m_disks.clear();
  if (TheApp().m_pDoc == this) TheApp().m_pDoc = nullptr;
}

std::unique_ptr<CLogicalDriver> CKelvoDoc::NewVolume(VolumeKind kind) {
  std::unique_ptr<CLogicalDriver> volume;
  switch (kind) {
    case VolumeKind::Fat: volume = std::make_unique<CFATDriver>(); break;
    case VolumeKind::Ntfs: volume = std::make_unique<CNTFSDriver>(); break;
    case VolumeKind::ExFat: volume = std::make_unique<CExFATDriver>(); break;
  }
  ConfigureVolume(*volume, TheApp().m_settings);
  return volume;
}

void CKelvoDoc::ConfigureVolume(CLogicalDriver& volume, const CSettings& settings) {
  if (auto* fat = dynamic_cast<CFATDriver*>(&volume)) {
    fat->m_bScanDir = settings.ScanDir != 0;
    fat->m_chReplaceChar = settings.ReplaceChar;
  }
  if (auto* exfat = dynamic_cast<CExFATDriver*>(&volume)) exfat->m_bScanDir = settings.ScanDir != 0;
}

void CKelvoDoc::ApplySettings(const CSettings& settings) {
  for (const auto& volume : m_volumes) ConfigureVolume(*volume, settings);
}

std::unique_ptr<CLogicalDriver> CKelvoDoc::OpenVolume(const std::string& fsName, const DeviceSource& source,
                                                      uint8_t number, int32_t driveType, const std::u16string& name,
                                                      const std::u16string& rootText) {
  std::unique_ptr<CLogicalDriver> volume;
  if (enumerate::IsFatName(fsName)) volume = NewVolume(VolumeKind::Fat);
  else if (enumerate::IsNtfsName(fsName)) volume = NewVolume(VolumeKind::Ntfs);
  else if (enumerate::IsExFatName(fsName)) volume = NewVolume(VolumeKind::ExFat);
  else return nullptr;
  volume->m_source = source;
  volume->m_strRootText = rootText;
  if (!volume->Open(number, driveType, name, false)) return nullptr;
  return volume;
}

namespace {
std::u16string DisplayName(const std::u16string& root, const std::u16string& label) {
  std::u16string name = label.empty() ? root : root + u" (" + label + u")";
  return name.substr(0, 259);
}
}  // namespace

void CKelvoDoc::AddImageVolumes(const std::string& path) {
  for (const auto& v : enumerate::ListImageVolumes(path)) {
    // A partition of an image is named by the image path and its partition number.
    std::string root = v.nPartition ? path + "#" + std::to_string(v.nPartition) : path;
    std::u16string rootText = text::FromUtf8(root);
    DeviceSource src{v.strPath, v.nOffset, v.nLength};
    auto volume = OpenVolume(v.strFsName, src, static_cast<uint8_t>(m_volumes.size()), DRIVE_FIXED,
                             DisplayName(rootText, v.strLabel), rootText);
    if (volume) m_volumes.push_back(std::move(volume));
  }
}

void CKelvoDoc::EnumerateVolumes() {
  if (m_bVolumesListed) return;
  m_bVolumesListed = true;
  if (m_bIncludeSystem) {
    for (const auto& v : enumerate::ListSystemVolumes()) {
      std::u16string rootText = text::FromUtf8(v.strMountPoint.empty() ? v.strPath : v.strMountPoint);
      DeviceSource src{v.strPath, 0, 0};
      auto volume = OpenVolume(v.strFsName, src, static_cast<uint8_t>(m_volumes.size()), v.nDriveType,
                               DisplayName(rootText, v.strLabel), rootText);
      if (volume) m_volumes.push_back(std::move(volume));
    }
  }
  for (const auto& path : m_imagePaths) AddImageVolumes(path);
}

void CKelvoDoc::AddVirtualVolume(int number) {
  // The virtual volume reads the disk through a handle of its own.
  DiskInfo info;
  DiskSlot slot;
  if (!m_diskTable.Slot(number, slot)) return;
  DeviceHandle handle = OpenPhysicalDrive(slot, info);
  if (!handle) return;
  auto volume = std::make_unique<CVirtualDriver>();
  volume->InitFromDisk(std::move(handle), info);
  if (volume->Open(static_cast<uint8_t>(number), info.nDriveType, info.szProduct, true))
    m_virtualVolumes.push_back(std::move(volume));
}

void CKelvoDoc::EnumerateVirtualVolumes() {
  if (m_bVirtualListed) return;
  m_bVirtualListed = true;
  for (int n = 0; n <= kMaxDiskNumber; ++n) {
    if (m_diskTable.PathOf(n).empty()) continue;
    AddVirtualVolume(n);
  }
}

void CKelvoDoc::AddDisk(int number) {
  DiskSlot slot;
  if (!m_diskTable.Slot(number, slot)) return;
  auto disk = std::make_unique<CPhysicalDriver>();
  disk->m_nDevice = static_cast<uint8_t>(number);
  if (disk->Detect(slot)) m_disks.push_back(std::move(disk));
}

void CKelvoDoc::EnumerateDisks() {
  if (m_bDisksListed) return;
  m_bDisksListed = true;
  // Every number is tried: gaps are allowed.
  for (int n = 0; n <= kMaxDiskNumber; ++n) {
    if (m_diskTable.PathOf(n).empty()) continue;
    AddDisk(n);
  }
}

std::string CKelvoDoc::CanonicalImagePath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

bool CKelvoDoc::AddDiskImage(const std::string& given, std::string* error, std::string* note, std::string* added) {
  // One image under two spellings ("disk.img", "./disk.img", a symbolic link to it) is one
  // disk: it is known by its canonical path from here on.
  const std::string path = CanonicalImagePath(given);
  if (added) *added = path;
  std::string why;
  DeviceHandle probe = CRawDevice::OpenPath(given, &why);
  if (!probe) {
    if (error) *error = why;
    return false;
  }
  if (probe->Size() < 512) {
    if (error) *error = given + ": too small to be a disk image (" + std::to_string(probe->Size()) + " bytes)";
    return false;
  }
  probe.reset();
  for (const auto& p : m_imagePaths)
    if (p == path) return true;
  int number = m_diskTable.AddImage(path);
  if (number < 0) {
    if (error) *error = given + ": too many disks are open (at most 128)";
    return false;
  }
  m_imagePaths.push_back(path);
  size_t before = m_volumes.size();
  if (m_bVolumesListed) AddImageVolumes(path);
  if (m_bVirtualListed) AddVirtualVolume(number);
  if (m_bDisksListed) AddDisk(number);
  if (note && m_bVolumesListed && m_volumes.size() == before)
    *note = given + ": no FAT, exFAT or NTFS volume found; listed as a disk only";
  return true;
}

bool CKelvoDoc::IsKnownVolume(const uint8_t* bootSector) { return FindKnownVolume(bootSector) != nullptr; }

const CLogicalDriver* CKelvoDoc::FindKnownVolume(const uint8_t* bootSector) {
  const auto known = KnownVolumes(bootSector);
  return known.empty() ? nullptr : known.front();
}

std::vector<const CLogicalDriver*> CKelvoDoc::KnownVolumes(const uint8_t* bootSector) {
  std::vector<const CLogicalDriver*> known;
  for (const auto& volume : m_volumes) {
    uint32_t bps = volume->m_nBytesPerSector < 512 ? 512 : volume->m_nBytesPerSector;
    std::vector<uint8_t> sector(bps);
    if (!volume->ReadSectors(0, sector.data(), volume->m_nBytesPerSector, 1)) continue;
    if (std::memcmp(sector.data(), bootSector, 512) == 0) known.push_back(volume.get());
  }
  return known;
}

void CKelvoDoc::AppendVolume(std::unique_ptr<CLogicalDriver> volume) {
  if (volume) m_volumes.push_back(std::move(volume));
}
