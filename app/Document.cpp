#include "app/Document.h"

#include <algorithm>
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
#include "tree/DirEntry.h"
#include "tasks/TaskRunner.h"

namespace {
std::function<std::vector<DiskSlot>()> SystemSlots(const SystemDeviceSource& source) {
  if (!source.listDisks) return {};
  return [list = source.listDisks] {
    std::vector<DiskSlot> slots;
    for (const auto& d : list()) slots.push_back({d.strPath, d.strProduct, d.nDriveType, true, d.nDiskSeq});
    return slots;
  };
}
}  // namespace

SystemDeviceSource SystemDeviceSource::Machine() {
  return {enumerate::ListSystemDisks, enumerate::ListSystemVolumes};
}

CKelvoDoc::CKelvoDoc(bool includeSystemDevices)
    : CKelvoDoc(includeSystemDevices ? SystemDeviceSource::Machine() : SystemDeviceSource{}) {}

CKelvoDoc::CKelvoDoc(SystemDeviceSource source) : m_system(std::move(source)), m_diskTable(SystemSlots(m_system)) {
  TheApp().m_pDoc = this;
}

CKelvoDoc::~CKelvoDoc() {
  // Never tear the devices down under a running worker.
  while (g_bWorkerBusy.load()) {
    if (TheApp().m_pumpMessages) TheApp().m_pumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  m_removed.clear();
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

std::vector<CLogicalDriver*> CKelvoDoc::AddImageVolumes(const std::string& path) {
  std::vector<CLogicalDriver*> added;
  for (const auto& v : enumerate::ListImageVolumes(path)) {
    bool listed = false;
    for (const auto& volume : m_volumes)
      listed = listed || (!volume->m_bSharedHandle && !m_systemVolumes.count(volume.get()) &&
                          volume->m_source.strPath == v.strPath && volume->m_source.nOffset == v.nOffset);
    if (listed) continue;
    // A partition of an image is named by the image path and its partition number.
    std::string root = v.nPartition ? path + "#" + std::to_string(v.nPartition) : path;
    std::u16string rootText = text::FromUtf8(root);
    DeviceSource src{v.strPath, v.nOffset, v.nLength};
    auto volume = OpenVolume(v.strFsName, src, static_cast<uint8_t>(m_volumes.size()), DRIVE_FIXED,
                             DisplayName(rootText, v.strLabel), rootText);
    if (!volume) continue;
    added.push_back(volume.get());
    m_volumes.push_back(std::move(volume));
  }
  return added;
}

CLogicalDriver* CKelvoDoc::AddSystemVolume(const enumerate::VolumeInfo& v) {
  std::u16string rootText = text::FromUtf8(v.strMountPoint.empty() ? v.strPath : v.strMountPoint);
  DeviceSource src{v.strPath, v.nOffset, v.nLength};  // a partition device from its start
  auto volume = OpenVolume(v.strFsName, src, static_cast<uint8_t>(m_volumes.size()), v.nDriveType,
                           DisplayName(rootText, v.strLabel), rootText);
  if (!volume) return nullptr;
  m_systemVolumes[volume.get()] = v;
  m_volumes.push_back(std::move(volume));
  return m_volumes.back().get();
}

void CKelvoDoc::EnumerateVolumes() {
  if (m_bVolumesListed) return;
  m_bVolumesListed = true;
  if (m_system.listVolumes)
    for (const auto& v : m_system.listVolumes()) AddSystemVolume(v);
  for (const auto& path : m_imagePaths) AddImageVolumes(path);
}

CLogicalDriver* CKelvoDoc::AddVirtualVolume(int number) {
  // The virtual volume reads the disk through a handle of its own.
  DiskInfo info;
  DiskSlot slot;
  if (!m_diskTable.Slot(number, slot)) return nullptr;
  DeviceHandle handle = OpenPhysicalDrive(slot, info);
  if (!handle) return nullptr;
  auto volume = std::make_unique<CVirtualDriver>();
  volume->InitFromDisk(std::move(handle), info);
  if (!volume->Open(static_cast<uint8_t>(number), info.nDriveType, info.szProduct, true)) return nullptr;
  m_virtualVolumes.push_back(std::move(volume));
  return m_virtualVolumes.back().get();
}

void CKelvoDoc::EnumerateVirtualVolumes() {
  if (m_bVirtualListed) return;
  m_bVirtualListed = true;
  for (int n = 0; n <= kMaxDiskNumber; ++n) {
    if (m_diskTable.PathOf(n).empty()) continue;
    AddVirtualVolume(n);
  }
}

CPhysicalDriver* CKelvoDoc::AddDisk(int number) {
  DiskSlot slot;
  if (!m_diskTable.Slot(number, slot)) return nullptr;
  auto disk = std::make_unique<CPhysicalDriver>();
  disk->m_nDevice = static_cast<uint8_t>(number);
  if (!disk->Detect(slot)) return nullptr;
  m_disks.push_back(std::move(disk));
  return m_disks.back().get();
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

CPhysicalDriver* CKelvoDoc::DiskNumbered(int n) const {
  for (const auto& disk : m_disks)
    if (disk->m_nDevice == n) return disk.get();
  return nullptr;
}

CLogicalDriver* CKelvoDoc::VirtualVolumeNumbered(int n) const {
  for (const auto& volume : m_virtualVolumes)
    if (volume->m_nDevice == n) return volume.get();
  return nullptr;
}

bool CKelvoDoc::HasScanResults(const CLogicalDriver& volume) {
  return volume.m_pScanJournal || (volume.m_pLostFolder && !volume.m_pLostFolder->m_children.empty());
}

bool CKelvoDoc::HasLostVolumesOn(const CPhysicalDriver& disk) const {
  if (!disk.m_hDevice) return false;
  for (const auto& volume : m_volumes)
    if (volume->m_bSharedHandle && volume->m_hDevice == disk.m_hDevice) return true;
  return false;
}

bool CKelvoDoc::Remove(const CDriver* device) {
  auto take = [&](auto& list) {
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->get() != device) continue;
      m_removed.push_back(std::move(*it));
      list.erase(it);
      return true;
    }
    return false;
  };
  if (take(m_volumes)) {
    m_systemVolumes.erase(static_cast<const CLogicalDriver*>(device));
    return true;
  }
  return take(m_virtualVolumes) || take(m_disks);
}

namespace {
// Whether the first sector of the volume info names is the one the volume read when it
// was opened (a medium reformatted, or swapped for another at the same path, differs).
bool SameFirstSector(const CLogicalDriver& volume, const enumerate::VolumeInfo& info) {
  DeviceHandle dev = CRawDevice::OpenPath(info.strPath, nullptr);
  uint8_t sector[512];
  return dev && dev->Read(info.nOffset, sector, sizeof sector) &&
         std::memcmp(sector, volume.m_bootSector, sizeof sector) == 0;
}

bool SameListing(const enumerate::VolumeInfo& a, const enumerate::VolumeInfo& b) {
  return a.strPath == b.strPath && a.nOffset == b.nOffset && a.nLength == b.nLength && a.strFsName == b.strFsName &&
         a.nDiskSeq == b.nDiskSeq;
}
}  // namespace

RefreshOutcome CKelvoDoc::Refresh(const std::function<bool(const CLogicalDriver&)>& inUse) {
  RefreshOutcome out;
  EnumerateVolumes();
  EnumerateVirtualVolumes();
  EnumerateDisks();
  auto used = [&](const CLogicalDriver* volume) {
    return volume && (HasScanResults(*volume) || (inUse && inUse(*volume)));
  };

  // The machine's disks: each listed one matched to its number, or given a new one.
  std::vector<bool> found(size_t(m_diskTable.Count()), false);
  if (m_system.listDisks) {
    for (const auto& d : m_system.listDisks()) {
      const DiskSlot listed{d.strPath, d.strProduct, d.nDriveType, true, d.nDiskSeq};
      int number = -1;
      DiskSlot slot;
      for (int n = 0; n < int(found.size()) && number < 0; ++n)
        if (!found[size_t(n)] && m_diskTable.Slot(n, slot) && slot.SameSystemDisk(listed)) number = n;
      if (number < 0) {
        number = m_diskTable.AddSlot(listed);
        if (number < 0) continue;  // the table is full
        found.resize(size_t(number) + 1, false);
      }
      found[size_t(number)] = true;
      CPhysicalDriver* disk = DiskNumbered(number);
      CLogicalDriver* virtualVolume = VirtualVolumeNumbered(number);
      // A new disk, or one that could not be opened before.
      if (!disk && (disk = AddDisk(number))) out.addedDisks.push_back(disk);
      if (!virtualVolume && (virtualVolume = AddVirtualVolume(number))) out.addedVirtualVolumes.push_back(virtualVolume);
      if (disk) disk->m_bDisconnected = false;
      if (virtualVolume) virtualVolume->m_bDisconnected = false;
    }
  }
  for (int n = 0; n < int(found.size()); ++n) {
    DiskSlot slot;
    if (found[size_t(n)] || !m_diskTable.Slot(n, slot) || !slot.bSystem) continue;
    CPhysicalDriver* disk = DiskNumbered(n);
    CLogicalDriver* virtualVolume = VirtualVolumeNumbered(n);
    if (!disk && !virtualVolume) continue;
    const bool keep = (disk && HasLostVolumesOn(*disk)) || used(virtualVolume);
    for (CDriver* device : {static_cast<CDriver*>(disk), static_cast<CDriver*>(virtualVolume)}) {
      if (!device) continue;
      if (keep) {
        device->m_bDisconnected = true;
        out.disconnected.push_back(device);
      } else if (Remove(device)) {
        out.removed.push_back(device);
      }
    }
  }
  // Lost volumes share their disk's fate: marked with it, never taken out.
  for (const auto& volume : m_volumes) {
    if (!volume->m_bSharedHandle) continue;
    for (const auto& disk : m_disks)
      if (disk->m_hDevice && volume->m_hDevice == disk->m_hDevice) volume->m_bDisconnected = disk->m_bDisconnected;
  }

  // The machine's volumes.
  std::vector<const CLogicalDriver*> matched;
  if (m_system.listVolumes) {
    for (const auto& v : m_system.listVolumes()) {
      CLogicalDriver* same = nullptr;
      for (const auto& [volume, listing] : m_systemVolumes) {
        if (same || !SameListing(listing, v)) continue;
        if (std::find(matched.begin(), matched.end(), volume) != matched.end()) continue;
        if (SameFirstSector(*volume, v)) same = const_cast<CLogicalDriver*>(volume);
      }
      if (same) {
        same->m_bDisconnected = false;
        matched.push_back(same);
      } else if (CLogicalDriver* volume = AddSystemVolume(v)) {
        matched.push_back(volume);
        out.addedVolumes.push_back(volume);
      }
    }
  }
  std::vector<CLogicalDriver*> missing;
  for (const auto& entry : m_systemVolumes)
    if (std::find(matched.begin(), matched.end(), entry.first) == matched.end())
      missing.push_back(const_cast<CLogicalDriver*>(entry.first));
  for (CLogicalDriver* volume : missing) {
    if (used(volume)) {
      volume->m_bDisconnected = true;
      out.disconnected.push_back(volume);
    } else if (Remove(volume)) {
      out.removed.push_back(volume);
    }
  }

  // Volumes that opened images hold now at offsets where they held none.
  for (const auto& path : m_imagePaths)
    for (CLogicalDriver* volume : AddImageVolumes(path)) out.addedVolumes.push_back(volume);
  return out;
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
