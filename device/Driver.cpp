#include "device/Driver.h"

#include <algorithm>
#include <cmath>
#include <new>

#include <fmt/format.h>

#include "platform/Checked.h"
#include "platform/Text.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tree/DirEntry.h"

CDriver::CDriver() = default;
CDriver::~CDriver() = default;  // the handle is shared: a borrowed one stays open for its owner

uint64_t CDriver::ClusterToSector(uint64_t) { return 0; }

bool CUnitBitmap::Allocate(uint64_t first, uint64_t last) {
  m_nFirst = first;
  m_nLast = last;
  m_bits.clear();
  if (last < first) return true;
  try {
    m_bits.assign(static_cast<size_t>(((last - first) >> 3) + 1), 0);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

bool CDriver::ScanUnit(uint64_t, CUnitBitmap*, IProgressWindow*) { return false; }

bool CDriver::ReadGeometry() {
  if (!m_hDevice) return false;
  m_nBytesPerSector = m_hDevice->SectorSize();
  return m_nBytesPerSector > 0;
}

void CDriver::CreateRoot() {}

bool CDriver::PrepareScan(uint64_t, uint64_t, CUnitBitmap*, IProgressWindow*) { return true; }


uint64_t CDriver::GetTotalBytes() const {
  // Saturates instead of wrapping for absurd geometry.
  return checked::Mul<uint64_t>(m_nClusterCount, m_nBytesPerCluster).value_or(UINT64_MAX);
}

std::u16string CDriver::GetSizeText() const {
  uint64_t total = GetTotalBytes();
  if (total <= 1073741824ULL) return text::Widen(fmt::format("{} MB", total / 1048576ULL));
  return text::Widen(fmt::format("{:.1f} GB", std::ldexp(static_cast<double>(total), -30)));
}

std::u16string CDriver::GetFileSystemText() const {
  switch (m_nFileSystem) {
    case FS_FAT12: return u"FAT12";
    case FS_FAT16: return u"FAT16";
    case FS_FAT32: return u"FAT32";
    case FS_NTFS: return u"NTFS";
    case FS_EXFAT: return u"exFAT";
    case FS_VIRTUAL: return u"VIRTUAL FS";
    default: return u"UNKNOWN FS";
  }
}

bool CDriver::SetNameAndType(int32_t driveType, const std::u16string& name) {
  m_nDriveType = driveType;
  m_szName = name.substr(0, 259);
  return true;
}

bool CDriver::OpenDevice() {
  DeviceHandle dev = CRawDevice::OpenPath(m_source.strPath, nullptr);
  if (dev && (m_source.nOffset != 0 || m_source.nLength != 0))
    dev = CRawDevice::Slice(dev, m_source.nOffset, m_source.nLength ? m_source.nLength : dev->Size());
  m_hDevice = std::move(dev);
  return m_hDevice != nullptr;
}

bool CDriver::ScanUnits(IProgressWindow* progress, uint64_t& found, IScanJournal* journal) {
  found = 0;
  const uint64_t first = m_nFirstUnit;
  // A crafted or truncated volume may claim billions of units its device does not hold:
  // those are not visited one failed read at a time.
  const uint64_t last = first <= m_nLastUnit ? LastUnitOnDevice(first, m_nLastUnit) : m_nLastUnit;
  SendProgress(progress, WM_SCANPROGRESS, SCAN_STARTED, 0);

  CUnitBitmap visited;
  if (!visited.Allocate(first, last)) return false;
  // The scan reads the device from front to back: a second thread reads ahead of it.
  CScopedReadAhead readAhead;
  if (!PrepareScan(first, last, &visited, progress)) return false;
  uint64_t start = first;
  if (journal && !journal->Replay(*this, visited, progress, start, found)) return false;
  SendProgress(progress, WM_SCANPROGRESS, SCAN_UNITS, 0);

  for (uint64_t i = start; i <= last; ++i) {
    if (progress && IsDialogStopSignalled()) return false;
    // A disk that stopped answering ends the scan with what was found (every read would
    // fail from here on).
    if (m_hDevice && m_hDevice->IsGone()) return false;
    if (!visited.Test(i)) {
      const uint64_t j = SkipUnmatched(i, last - i > 511 ? i + 511 : last);
      if (j > i) {
        i = j - 1;
        SendProgress(progress, WM_SCANPROGRESS, SCAN_POSITION, static_cast<int64_t>(i));
        if (journal) journal->Scanned(*this, j);
        continue;
      }
      visited.Set(i);
      if (ScanUnit(i, &visited, progress)) ++found;
      if (journal) journal->Stepped(*this, i);
    }
    if (progress && IsDialogStopSignalled()) return false;
    if (i % 32 == 0 || i + 1 >= last) {
      SendProgress(progress, WM_SCANPROGRESS, SCAN_POSITION, static_cast<int64_t>(i));
      if (journal) journal->Scanned(*this, i + 1);
    }
    if (i == UINT64_MAX) break;
  }
  return true;
}

CLogicalDriver::CLogicalDriver() = default;

CLogicalDriver::~CLogicalDriver() {
  delete m_pRoot;  // destroys every node of the volume, "LostFiles" included
  m_pRoot = nullptr;
  m_pLostFolder = nullptr;
}

bool CLogicalDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  m_nDevice = device;
  SetNameAndType(driveType, name);
  m_bSharedHandle = sharedHandle;
  if (sharedHandle) return true;
  return OpenDevice();
}

bool CLogicalDriver::Attach(DeviceHandle, const uint8_t*, uint64_t) { return false; }

bool CLogicalDriver::ReadCluster(uint64_t cluster, uint32_t, uint8_t* buffer) {
  return ReadSectors(ClusterToSector(cluster), buffer, m_nBytesPerSector, m_nSectorsPerCluster);
}

uint64_t CLogicalDriver::LastUnitOnDevice(uint64_t first, uint64_t last) {
  if (!m_hDevice || m_nBytesPerCluster == 0) return last;
  const uint64_t size = m_hDevice->Size();
  auto held = [&](uint64_t unit) {
    const uint64_t at = UnitByteOffset(unit);
    return at <= size && m_nBytesPerCluster <= size - at;
  };
  if (held(last)) return last;
  if (!held(first)) return first;  // nothing readable: the scan meets the failed read once
  // Offsets grow with the unit: the last held unit lies in [first, last).
  uint64_t lo = first, hi = last;
  while (hi - lo > 1) {
    const uint64_t mid = lo + (hi - lo) / 2;
    (held(mid) ? lo : hi) = mid;
  }
  return lo;
}

std::unique_ptr<CFSFile> CLogicalDriver::NewCarvedFile(uint64_t) { return nullptr; }

bool CLogicalDriver::ResultStartUnit(const CDirEntry&, uint64_t&) const { return false; }

void CLogicalDriver::CollectFirstUnits(std::vector<FirstUnitItem>&) {}

uint64_t CLogicalDriver::UnitByteOffset(uint64_t unit) {
  uint64_t sector = ClusterToSector(unit) + (m_bSharedHandle ? m_nSectorOffset : 0);
  return sector * m_nBytesPerSector;
}

bool CLogicalDriver::ReadSectors(uint64_t sector, uint8_t* buffer, uint32_t bytesPerSector, uint32_t count) {
  if (!buffer) return false;
  if (m_bSharedHandle) {
    auto shifted = checked::Add<uint64_t>(sector, m_nSectorOffset);
    if (!shifted) return false;
    sector = *shifted;
  }
  return ReadRaw(sector, buffer, bytesPerSector, count);
}

bool CLogicalDriver::FailedSectorsAreBad(uint64_t sector, uint32_t count) const {
  if (!m_hDevice || m_hDevice->IsGone() || m_nBytesPerSector == 0) return false;
  uint64_t first = sector;
  if (m_bSharedHandle && __builtin_add_overflow(sector, m_nSectorOffset, &first)) return false;
  uint64_t end, bytes;
  if (__builtin_add_overflow(first, uint64_t(count), &end) || __builtin_mul_overflow(end, uint64_t(m_nBytesPerSector), &bytes))
    return false;
  return bytes <= m_hDevice->Size();
}

bool CLogicalDriver::AttachBootSector(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  if (!bootSector) return false;
  m_hDevice = std::move(handle);
  std::copy(bootSector, bootSector + sizeof m_bootSector, m_bootSector);
  m_nSectorOffset = sectorOffset;
  return true;
}

bool CLogicalDriver::ReadBootSector() {
  if (!CDriver::ReadGeometry()) return false;
  std::vector<uint8_t> sector(m_nBytesPerSector < 512 ? 512 : m_nBytesPerSector);
  if (!ReadSectors(0, sector.data(), m_nBytesPerSector, 1)) return false;
  std::copy(sector.begin(), sector.begin() + 512, m_bootSector);
  return true;
}
