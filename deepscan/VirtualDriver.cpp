#include "deepscan/VirtualDriver.h"

#include <algorithm>

#include <fmt/format.h>

#include "deepscan/FileTypes.h"
#include "deepscan/ResultNodes.h"
#include "deepscan/UnitStream.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "tasks/FrontEnd.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tree/OutputFile.h"

CVirtualDriver::CVirtualDriver() { m_nFileSystem = FS_VIRTUAL; }

bool CVirtualDriver::InitFromDisk(DeviceHandle handle, const DiskInfo& info) {
  m_hDevice = std::move(handle);
  m_nSectorsPerCluster = info.nSectorsPerCluster;
  m_nBytesPerSector = info.nBytesPerSector;
  m_nBytesPerCluster = info.nBytesPerSector * info.nSectorsPerCluster;
  m_nClusterCount = info.nSectorCount;
  m_szModel = info.szProduct.substr(0, 255);
  m_source.strPath = info.strPath;
  m_strRootText = info.szProduct;
  m_nFirstUnit = m_nRootCluster = 2;
  m_nFirstDataSector = m_nRootSector = 2;
  m_nFileSystem = FS_VIRTUAL;
  // An empty disk has no units: last below first makes every scan empty.
  m_nLastUnit = m_nClusterCount ? m_nClusterCount - 1 : 0;
  return true;
}

bool CVirtualDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  m_pUnitBuffer2.assign(m_nBytesPerCluster, 0);
  CreateRoot();
  return true;
}

bool CVirtualDriver::ReadCluster(uint64_t unit, uint32_t, uint8_t* buffer) {
  return ReadSectors(unit, buffer, m_nBytesPerCluster, 1);
}

uint64_t CVirtualDriver::UnitByteOffset(uint64_t unit) {
  return (unit + (m_bSharedHandle ? m_nSectorOffset : 0)) * m_nBytesPerCluster;
}

uint64_t CVirtualDriver::SkipUnmatched(uint64_t unit, uint64_t lim) {
  // The bytes the matcher reads, straight in the read window where it holds them.
  const size_t probe = SignatureProbeBytes();
  uint8_t copy[4096];
  if (!m_hDevice || m_nBytesPerCluster < probe || probe > sizeof copy) return unit;
  const uint64_t shift = m_bSharedHandle ? m_nSectorOffset : 0;
  for (uint64_t u = unit; u <= lim; ++u) {
    const uint64_t at = (u + shift) * m_nBytesPerCluster;
    const uint8_t* p = m_hDevice->Peek(at, probe);
    if (!p) {
      if (!m_hDevice->Read(at, copy, probe)) return u;
      p = copy;
    }
    if (MatchSignature(u, p) != kNoFileType || MayBeginVolume(p)) return u;
  }
  return lim + 1;
}

void CVirtualDriver::SetNamingVolumes(std::vector<NamingVolume> volumes) {
  m_namingVolumes = std::move(volumes);
  m_metVolumes.clear();
  m_firstUnitItems.clear();
  m_bFirstUnitItemsMade = false;
}

void CVirtualDriver::AddNamesOf(const NamingVolume& named, std::vector<FirstUnitItem>& items) {
  const uint64_t unitBytes = m_nBytesPerCluster;
  CLogicalDriver* volume = named.pVolume;
  if (unitBytes == 0 || !volume) return;
  std::vector<FirstUnitItem> own;
  volume->CollectFirstUnits(own);
  // A volume reading through the disk's handle counts its start in UnitByteOffset.
  const uint64_t shift = volume->m_bSharedHandle ? volume->m_nSectorOffset * volume->m_nBytesPerSector : 0;
  for (FirstUnitItem& item : own) {
    const uint64_t inVolume = volume->UnitByteOffset(item.nUnit);
    if (inVolume < shift) continue;
    uint64_t onDisk = 0;
    if (__builtin_add_overflow(named.nStartByte, inVolume - shift, &onDisk) || onDisk % unitBytes) continue;
    items.push_back({onDisk / unitBytes, named.strName + u"/" + item.strPath, item.bDeleted});
  }
}

void CVirtualDriver::CollectFirstUnits(std::vector<FirstUnitItem>& items) {
  for (const NamingVolume& named : m_namingVolumes) AddNamesOf(named, items);
}

void CVirtualDriver::MeetVolume(uint64_t unit) {
  uint64_t start = 0;
  if (__builtin_mul_overflow(unit, uint64_t(m_nBytesPerCluster), &start) || m_nBytesPerCluster % 512) return;
  for (const NamingVolume& named : m_namingVolumes)
    if (named.nStartByte == start) return;  // a partition, or a volume met before
  std::unique_ptr<CLogicalDriver> volume = m_openVolumeAt(start / 512);
  if (!volume) return;
  NamingVolume named{volume.get(), start, volume->m_szName};
  std::vector<FirstUnitItem> items;
  AddNamesOf(named, items);
  // (The index is made from the earlier volumes first, then takes this one's.)
  AddFirstUnitItems(*this, std::move(items));
  m_namingVolumes.push_back(std::move(named));
  m_metVolumes.push_back(std::move(volume));
}

void CVirtualDriver::CreateRoot() {
  auto* root = new CVirtualDirectory();
  root->m_pDriver = this;
  root->m_strName = m_szName;
  root->m_nStatus = STATUS_EXISTING;
  m_pRoot = root;
  auto lost = std::make_unique<CVirtualDirectory>();
  InitResultsFolder(*lost, this, u"LostFiles", localtime_::Now());
  m_pLostFolder = static_cast<CDirectory*>(root->AddChild(std::move(lost)));
}

std::unique_ptr<CFSFile> CVirtualDriver::NewCarvedFile(uint64_t unit) {
  auto file = std::make_unique<CVirtualFile>();
  file->m_nStartUnit = unit;
  return file;
}

bool CVirtualDriver::ResultStartUnit(const CDirEntry& node, uint64_t& unit) const {
  auto* file = dynamic_cast<const CVirtualFile*>(&node);
  if (!file) return false;
  unit = file->m_nStartUnit;
  return true;
}

bool CVirtualDriver::ScanUnit(uint64_t unit, CUnitBitmap* visited, IProgressWindow*) {
  if (!visited) return false;
  if (m_openVolumeAt && m_hDevice) {
    uint8_t first = 0;
    if (m_hDevice->Read(UnitByteOffset(unit), &first, 1) && MayBeginVolume(&first)) MeetVolume(unit);
  }
  std::u16string extension;
  uint64_t length = 0;
  if (!IdentifyFile(unit, extension, length)) return false;
  return AddCarvedFile(*this, unit, extension, length, visited) != nullptr;
}

void CVirtualDirectory::LoadChildren(bool, bool, bool) {
  if (m_pDriver && this == m_pDriver->m_pLostFolder) FrontEndHooks().RunDeepScan(this);
  else m_bLoaded = true;  // the root holds only the results folder, made with the volume
}

void CVirtualFile::DataUnits(std::vector<UnitRun>& runs) {
  runs.assign(1, {m_nStartUnit, UINT64_MAX});
  TrimRuns(runs, m_nSize, m_pDriver ? m_pDriver->m_nBytesPerCluster : 0);
}

bool CVirtualFile::WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t) {
  auto* volume = m_pDriver;
  if (!volume || volume->m_pUnitBuffer2.size() < volume->m_nBytesPerCluster || volume->m_nBytesPerCluster == 0)
    return false;
  if (progress) {
    if (IsPageStopSignalled()) return false;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, 0);
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, static_cast<int64_t>(m_nSize));
  }
  uint64_t sector = m_nStartUnit;
  uint64_t written = 0;
  uint8_t* buf = volume->m_pUnitBuffer2.data();
  const uint64_t unitBytes = volume->m_nBytesPerCluster;
  while (written < m_nSize) {
    if (progress && IsPageStopSignalled()) return false;
    bool ok = volume->ReadSectors(sector, buf, volume->m_nBytesPerCluster, 1);
    ++sector;
    if (progress && IsPageStopSignalled()) return false;
    uint64_t n = std::min(unitBytes, m_nSize - written);
    // An unreadable sector is written as zeros and noted in out, so the save reports the
    // file with its byte ranges; a source that stopped answering, or a file running past
    // the readable sectors, ends the file (reported as failed).
    if (!ok) {
      if (!volume->FailedSectorsAreBad(sector - 1, 1)) return false;
      std::fill(buf, buf + n, uint8_t(0));
      out.NoteUnreadable(written, n);
    }
    if (!out.Write(buf, static_cast<size_t>(n))) return false;
    written += n;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, static_cast<int64_t>(written));
  }
  SendProgress(progress, WM_FILEDONE, 0, 0);
  return true;
}
