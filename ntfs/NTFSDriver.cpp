// The NTFS volume: recognition and geometry from the boot sector, opening, the root and
// the results folders, and the status of deleted files. The MFT image (records, the
// folder index) is in ntfs/MftImage.cpp, the stream reader in ntfs/NtfsStream.cpp.
//
// Format notes: the boot sector (first 512 bytes of the volume, fields little-endian,
// offsets in ntfs/NTFSLayout.h) carries "NTFS    " and a zero byte at 3, the bytes per
// sector at 0x0B, the sectors per cluster at 0x0D (a power of two up to 128, or from 0xF4
// on 2^(256 - v)), the volume's sector count at 0x28, the MFT's first cluster at 0x30,
// the record size at 0x40 (below 0x80 a count of clusters, else 2^(256 - v) bytes) and
// the 0xAA55 signature at 0x1FE.
#include "ntfs/NTFSDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "deepscan/ResultNodes.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"
#include "platform/LocalTime.h"

using namespace ntfslayout;

NtfsBootCheck ParseNtfsBootSector(std::span<const uint8_t, 512> sector, NtfsGeometry& g) {
  // Every field lies inside the 512 bytes (checked where NTFSLayout.h names them).
  const uint8_t* boot = sector.data();
  if (bytes::RawLE16(boot + kSignature) != kBootSignature) return NtfsBootCheck::NoSignature;
  if (std::memcmp(boot + kOemId, "NTFS    ", 8) != 0 || boot[kOemId + 8] != 0) return NtfsBootCheck::NotNtfs;
  g = NtfsGeometry{};
  g.nBytesPerSector = bytes::RawLE16(boot + kBytesPerSector);
  if (g.nBytesPerSector != 512 && g.nBytesPerSector != 1024) return NtfsBootCheck::BadSectorSize;
  // Clusters above 64 KiB are written as a negative power: 0xF4 and above give
  // 2^(256 - value) sectors.
  uint32_t raw = boot[kSectorsPerCluster];
  uint32_t spc = raw >= 0xF4 ? 1u << (256 - raw) : raw;
  if (spc == 0 || (raw < 0xF4 && raw > 128) || (spc & (spc - 1)) != 0) return NtfsBootCheck::BadClusterSize;
  g.nSectorsPerCluster = spc;
  g.nTotalSectors = bytes::RawLE64(boot + kTotalSectors);
  g.nMftCluster = bytes::RawLE64(boot + kMftCluster);
  uint32_t v = bytes::RawLE32(boot + kClustersPerRecord);
  uint64_t cluster = uint64_t(g.nBytesPerSector) * spc;
  uint64_t record = 0;
  if (v < 0x80) {
    record = uint64_t(v) * cluster;
  } else {
    uint32_t shift = 256 - (v & 0xFF);
    if ((v & 0xFFFFFF00u) == 0 && shift < 32) record = uint64_t(1) << shift;
  }
  if (record < 256 || record > 65536) return NtfsBootCheck::BadRecordSize;
  g.nRecordSize = static_cast<uint32_t>(record);
  return NtfsBootCheck::Ok;
}

CNTFSDriver::CNTFSDriver() { m_nFileSystem = FS_NTFS; }

uint64_t CNTFSDriver::ClusterToSector(uint64_t cluster) { return cluster * m_nSectorsPerCluster; }

bool CNTFSDriver::ReadGeometry() {
  if (!ReadBootSector()) return false;
  NtfsGeometry g;
  return ParseNtfsBootSector(m_bootSector, g) == NtfsBootCheck::Ok;
}

bool CNTFSDriver::Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  return AttachBootSector(std::move(handle), bootSector, sectorOffset);
}

bool CNTFSDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  if (!m_bSharedHandle && !ReadGeometry()) return false;
  NtfsGeometry g;
  if (ParseNtfsBootSector(m_bootSector, g) != NtfsBootCheck::Ok) return false;
  m_geometry = g;
  m_nBytesPerSector = g.nBytesPerSector;
  m_nSectorsPerCluster = g.nSectorsPerCluster;
  m_nBytesPerCluster = g.nBytesPerSector * g.nSectorsPerCluster;
  m_nRecordSize = g.nRecordSize;
  m_nRootCluster = 0;
  m_nFirstDataSector = 0;
  m_nRootSector = 0;
  m_nClusterCount = g.nTotalSectors / g.nSectorsPerCluster;
  m_nFirstUnit = 0;
  m_nLastUnit = m_nClusterCount;
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  if (!PrepareMft()) return false;
  CreateRoot();
  return true;
}

void CNTFSDriver::CreateRoot() {
  int64_t now = localtime_::Now();
  auto* root = new CNTFSDirectory();
  root->m_pDriver = this;
  root->m_strName = m_szName;
  root->m_nStatus = STATUS_EXISTING;
  root->m_nRecord = 5;
  m_pRoot = root;
  auto make = [&](const char16_t* name, uint64_t record) {
    auto d = std::make_unique<CNTFSDirectory>();
    InitResultsFolder(*d, this, name, now);
    d->m_nRecord = record;
    return static_cast<CDirectory*>(root->AddChild(std::move(d)));
  };
  m_pLostFolder = make(u"LostFiles", 0);
  m_pDeletedFolder = make(u"DeletedFiles", 1);
}

std::unique_ptr<CFSFile> CNTFSDriver::NewCarvedFile(uint64_t cluster) {
  auto file = std::make_unique<CNTFSFile>();
  file->m_nFirstCluster = cluster;
  file->m_bDataSizesTaken = true;
  return file;
}

bool CNTFSDriver::ResultStartUnit(const CDirEntry& node, uint64_t& unit) const {
  auto* file = dynamic_cast<const CNTFSFile*>(&node);
  if (!file) return false;
  unit = file->m_nFirstCluster;
  return true;
}

bool CNTFSDriver::ScanUnit(uint64_t cluster, CUnitBitmap* visited, IProgressWindow*) {
  if (!visited) return false;
  std::u16string extension;
  uint64_t length = 0;
  if (!IdentifyFile(cluster, extension, length)) return false;
  return AddCarvedFile(*this, cluster, extension, length, visited) != nullptr;
}

uint32_t CNTFSDriver::EvaluateDeletedStatus(bool deleted, CNTFSFile* file) {
  if (!deleted) return STATUS_EXISTING;
  if (!file) return STATUS_GOOD;
  NtfsStream s;
  if (!LoadStream(file->m_nRecord, ntfsrecord::kData, s, file->m_strStream)) return STATUS_GOOD;
  // The size stored with the name is often stale (never updated by some writers): the
  // header check compares with the data's own size, which the file takes now.
  file->m_nSize = s.bResident ? s.value.size() : s.nRealSize;
  file->m_nAllocatedSize = std::max<uint64_t>(s.bResident ? s.value.size() : s.nAllocatedSize, m_nBytesPerCluster);
  file->m_bDataSizesTaken = true;
  uint64_t lcn;
  if (!FirstClusterOf(s, lcn) || lcn == 0) return STATUS_GOOD;
  return CheckFileHeader(lcn, file);
}

bool NtfsTimeToUnix(uint64_t ticks, int64_t& t) {
  constexpr int64_t kEpochDiff = 11644473600LL;  // seconds from 1601 to 1970
  int64_t secs = int64_t(ticks / 10000000ULL) - kEpochDiff;
  if (secs < -2208988800LL) {  // before 1900
    t = 0;
    return true;
  }
  // The round trip through local time is worked out once per hour and kept (the zone
  // file is consulted by every conversion); dropped when TZ changes.
  struct HourCache {
    std::string strTz;
    std::unordered_map<int64_t, int64_t> shift;  // hour -> shift, or kFailed
  };
  static constexpr int64_t kFailed = INT64_MIN;
  thread_local HourCache cache;
  const char* tz = std::getenv("TZ");
  if ((tz ? tz : "") != cache.strTz) {
    cache.strTz = tz ? tz : "";
    cache.shift.clear();
  }
  const int64_t hour = secs >= 0 ? secs / 3600 : -((-secs + 3599) / 3600);
  auto it = cache.shift.find(hour);
  if (it == cache.shift.end()) {
    int64_t start = hour * 3600, back = 0;
    localtime_::CalendarFields f;
    bool ok = localtime_::ToLocal(start, f) && localtime_::FromLocal(f, back);
    if (cache.shift.size() > 100000) cache.shift.clear();
    it = cache.shift.emplace(hour, ok ? back - start : kFailed).first;
  }
  if (it->second == kFailed) return false;
  t = secs + it->second;
  return true;
}
