#include "fat/FATDriver.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include <fmt/format.h>

#include "deepscan/ResultNodes.h"
#include "deepscan/VirtualDriver.h"
#include "fat/FATDirectory.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "tasks/StopEvents.h"

#include "fat/FATLayout.h"
#include "platform/ByteReader.h"
#include "platform/Checked.h"

using namespace fatlayout;
using namespace fatdir;

FatBootCheck CheckFatBootSector(const uint8_t* boot) {
  if (bytes::RawLE16(boot + kSignature) != kBootSignature) return FatBootCheck::NoSignature;
  uint32_t product = uint32_t(bytes::RawLE16(boot + kBytesPerSector)) * boot[kSectorsPerCluster];
  if (product > kMaxBytesPerCluster) return FatBootCheck::ClusterTooLarge;
  return FatBootCheck::Ok;
}

FatBootCheck ParseFatGeometry(const uint8_t* boot, FatGeometry& g) {
  if (FatBootCheck c = CheckFatBootSector(boot); c != FatBootCheck::Ok) return c;
  g = FatGeometry{};
  g.nBytesPerSector = bytes::RawLE16(boot + kBytesPerSector);
  g.nSectorsPerCluster = boot[kSectorsPerCluster];
  g.nReservedSectors = bytes::RawLE16(boot + kReservedSectors);
  g.nNumberOfFats = boot[kNumberOfFats];
  g.nRootEntryCount = bytes::RawLE16(boot + kRootEntryCount);
  uint32_t fat16 = bytes::RawLE16(boot + kSectorsPerFat16);
  g.nSectorsPerFat = fat16 ? fat16 : bytes::RawLE32(boot + kSectorsPerFat32);
  uint32_t total16 = bytes::RawLE16(boot + kTotalSectors16);
  g.nTotalSectors = total16 ? total16 : bytes::RawLE32(boot + kTotalSectors32);
  g.nRootClusterField = bytes::RawLE32(boot + kRootCluster);
  // The geometry divides by both counts and needs sectors that hold whole entries.
  if (g.nBytesPerSector < kDirEntrySize || g.nSectorsPerCluster == 0) return FatBootCheck::ZeroGeometry;
  g.nRootDirSectors = (g.nRootEntryCount * kDirEntrySize + g.nBytesPerSector - 1) / g.nBytesPerSector;
  uint64_t overhead = uint64_t(g.nReservedSectors) + uint64_t(g.nNumberOfFats) * g.nSectorsPerFat + g.nRootDirSectors;
  auto data = checked::Sub<uint64_t>(g.nTotalSectors, overhead);
  if (!data) return FatBootCheck::OverheadExceedsVolume;
  g.nFirstDataSector = overhead;
  g.nClusterCount = *data / g.nSectorsPerCluster;
  g.nFileSystem = g.nClusterCount < kFat12MaxClusters ? FS_FAT12 : g.nClusterCount < kFat16MaxClusters ? FS_FAT16 : FS_FAT32;
  return FatBootCheck::Ok;
}

CFATDriver::CFATDriver() = default;

uint64_t CFATDriver::ClusterToSector(uint64_t cluster) {
  // Clusters 0 and 1 lie before the data region; they map below it without wrapping.
  if (cluster < 2) return m_nFirstDataSector;
  return (cluster - 2) * m_nSectorsPerCluster + m_nFirstDataSector;
}

bool CFATDriver::ReadGeometry() {
  if (!ReadBootSector()) return false;
  return CheckFatBootSector(m_bootSector) == FatBootCheck::Ok;
}

bool CFATDriver::Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  return AttachBootSector(std::move(handle), bootSector, sectorOffset);
}

bool CFATDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  if (!m_bSharedHandle && !ReadGeometry()) return false;
  FatGeometry g;
  if (ParseFatGeometry(m_bootSector, g) != FatBootCheck::Ok) return false;
  m_geometry = g;
  m_nFileSystem = g.nFileSystem;
  m_nClusterCount = g.nClusterCount;
  m_nFirstDataSector = g.nFirstDataSector;
  m_nRootCluster = g.nFileSystem == FS_FAT32 ? g.nRootClusterField : 0;
  uint64_t fatEnd = uint64_t(g.nReservedSectors) + uint64_t(g.nNumberOfFats) * g.nSectorsPerFat;
  m_nRootSector = g.nFileSystem == FS_FAT32
                      ? g.nFirstDataSector + (uint64_t(g.nRootClusterField < 2 ? 2 : g.nRootClusterField) - 2) * g.nSectorsPerCluster
                      : fatEnd;
  m_nFirstUnit = 2;
  m_nLastUnit = g.nClusterCount + 1;
  m_nDataSectors = g.nTotalSectors - g.nFirstDataSector;
  m_nSectorsPerCluster = g.nSectorsPerCluster;
  m_nBytesPerSector = g.nBytesPerSector;
  m_nBytesPerCluster = g.nSectorsPerCluster * g.nBytesPerSector;
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  m_pDirCache.assign(m_nBytesPerSector, 0);
  m_pProbeSector.assign(m_nBytesPerSector, 0);
  m_pFatCache.assign(2 * size_t(m_nBytesPerSector), 0);
  m_pDataCache.assign(2 * size_t(m_nBytesPerSector), 0);
  CreateRoot();
  return true;
}

// ---------------------------------------------------------------------------------------
// The allocation table, folder walks and file data.


namespace {
bool IsLongNameEntry(const uint8_t* e) { return (e[kAttributes] & 0x3F) == kAttrLongName; }
uint64_t FirstCluster(const uint8_t* e) {
  return (uint64_t(bytes::RawLE16(e + kClusterHigh)) << 16) | bytes::RawLE16(e + kClusterLow);
}
}  // namespace

std::unique_ptr<CFSFile> CFATDriver::NewCarvedFile(uint64_t cluster) {
  auto file = std::make_unique<CFATFile>();
  file->m_nFirstCluster = cluster;
  return file;
}

bool CFATDriver::ResultStartUnit(const CDirEntry& node, uint64_t& unit) const {
  if (auto* f = dynamic_cast<const CFATFile*>(&node)) unit = f->m_nFirstCluster;
  else if (auto* d = dynamic_cast<const CFATDirectory*>(&node)) unit = d->m_nFirstCluster;
  else return false;
  return true;
}

void CFATDriver::CreateRoot() {
  auto* root = new CFATDirectory();
  root->m_pDriver = this;
  root->m_strName = m_szName;
  root->m_nStatus = STATUS_EXISTING;
  root->m_nFirstCluster = m_nRootCluster;
  root->m_nFirstSector = m_nRootSector;
  m_pRoot = root;
  auto lost = std::make_unique<CFATDirectory>();
  InitResultsFolder(*lost, this, u"LostFiles", localtime_::Now());
  m_pLostFolder = static_cast<CDirectory*>(root->AddChild(std::move(lost)));
}

uint32_t CFATDriver::GetFatEntry(uint64_t n, uint32_t copy) {
  if (!IsClusterNumber(n) || m_pFatCache.size() < 2 * size_t(m_nBytesPerSector)) return 0;
  const uint64_t bps = m_nBytesPerSector;
  uint64_t offset = m_nFileSystem == FS_FAT12 ? n + n / 2 : m_nFileSystem == FS_FAT16 ? 2 * n : 4 * n;
  uint64_t s = m_geometry.nReservedSectors + uint64_t(copy) * m_geometry.nSectorsPerFat + offset / bps;
  if (s != m_nFatCacheSector) {
    // A failed read leaves the old bytes; the value is then garbage but bounded.
    ReadSectors(s, m_pFatCache.data(), m_nBytesPerSector, 1);
    m_nFatCacheSector = s;
  }
  size_t o = static_cast<size_t>(offset % bps);
  if (m_nFileSystem == FS_FAT12 && o == bps - 1) ReadSectors(s + 1, m_pFatCache.data() + bps, m_nBytesPerSector, 1);
  const uint8_t* p = m_pFatCache.data() + o;
  switch (m_nFileSystem) {
    case FS_FAT12: {
      uint32_t w = bytes::RawLE16(p);
      return (n & 1) ? w >> 4 : w & 0xFFF;
    }
    case FS_FAT16: return bytes::RawLE16(p);
    default: return bytes::RawLE32(p) & 0x0FFFFFFF;
  }
}

int CFATDriver::ClassifyFatValue(uint32_t v) const {
  if (v == 0) return FAT_FREE;
  uint32_t endChain, reservedLow;
  switch (m_nFileSystem) {
    case FS_FAT12: endChain = 0xFF8; reservedLow = 0xFF1; break;
    case FS_FAT16: endChain = 0xFFF8; reservedLow = 0xFFF1; break;
    case FS_FAT32: endChain = 0xFFFFFF8; reservedLow = 0xFFFFFF1; break;
    default: return FAT_IN_USE;
  }
  if (v >= endChain) return FAT_END_OF_CHAIN;
  if (v >= reservedLow) return FAT_RESERVED;
  return FAT_IN_USE;
}

bool CFATDriver::ReadDirSector(uint64_t sector) {
  if (sector == m_nDirCacheSector && sector != 0) return true;
  if (!ReadSectors(sector, m_pDirCache.data(), m_nBytesPerSector, 1)) {
    m_nDirCacheSector = 0;
    return false;
  }
  m_nDirCacheSector = sector;
  return true;
}

bool CFATDriver::NextDirEntry(FatDirWalk& w, uint8_t* entry) {
  if (w.nCluster > m_nClusterCount + 1 || m_nBytesPerSector < kDirEntrySize) return false;
  const uint32_t perSector = m_nBytesPerSector / kDirEntrySize;
  uint64_t sector;
  if (w.nCluster == 0) {
    if (w.nIndex >= perSector) {
      w.nIndex = 0;
      ++w.nSector;
    }
    sector = w.nSector;
  } else {
    if (w.nIndex >= m_nBytesPerCluster / kDirEntrySize) {
      uint32_t next = GetFatEntry(w.nCluster, m_nChainFat - 1u);
      if (ClassifyFatValue(next) == FAT_END_OF_CHAIN || !IsClusterNumber(next)) return false;
      // A chain that comes back to a cluster it has passed is damaged: stop there.
      if (!w.entered.insert(next).second) return false;
      w.nCluster = next;
      w.nIndex = 0;
    }
    sector = ClusterToSector(w.nCluster) + (uint64_t(w.nIndex) * kDirEntrySize) / m_nBytesPerSector;
  }
  // An unreadable folder sector ends the walk (stale bytes would be taken for entries).
  if (!ReadDirSector(sector)) return false;
  std::memcpy(entry, m_pDirCache.data() + (w.nIndex % perSector) * kDirEntrySize, kDirEntrySize);
  ++w.nIndex;
  return true;
}

std::u16string CFATDriver::ShortNameText(const uint8_t* e) {
  std::u16string base, ext;
  for (int i = 0; i < 8; ++i)
    if (e[i] != ' ') base += char16_t(e[i]);
  for (int i = 8; i < 11; ++i)
    if (e[i] != ' ') ext += char16_t(e[i]);
  return ext.empty() ? base : base + u"." + ext;
}

std::u16string CFATDriver::MarkDeletedName(const std::u16string& name) const {
  const char16_t c = m_chReplaceChar;
  if (name.size() > 1) return std::u16string(1, c) + name.substr(name[1] < 0x80 ? 1 : 2);
  if (name.size() == 1) return std::u16string(1, c);
  return name;
}

bool CFATDriver::AssembleLongName(FatDirWalk& w, uint8_t* entry, std::u16string& name, int* takenOut) {
  if (!IsLongNameEntry(entry) || bytes::RawLE16(entry + kLfnZero) != 0 || !(entry[kLfnSequence] & 0x40))
    return false;
  const uint8_t checksum = entry[kLfnChecksum];
  char16_t slots[kMaxLongNameEntries][kCharsPerLongNameEntry];
  int taken = 0;
  bool result = true;
  for (;;) {
    char16_t* slot = slots[kMaxLongNameEntries - 1 - taken];
    for (int k = 0; k < 5; ++k) slot[k] = bytes::RawLE16(entry + kLfnChars1 + 2 * k);
    for (int k = 0; k < 6; ++k) slot[5 + k] = bytes::RawLE16(entry + kLfnChars2 + 2 * k);
    for (int k = 0; k < 2; ++k) slot[11 + k] = bytes::RawLE16(entry + kLfnChars3 + 2 * k);
    if (++taken == kMaxLongNameEntries) break;
    result = NextDirEntry(w, entry);
    if (!result) break;
    if (!IsLongNameEntry(entry) || bytes::RawLE16(entry + kLfnZero) != 0 || entry[kLfnChecksum] != checksum) break;
  }
  if (takenOut) *takenOut = taken;
  std::u16string chars;
  for (int i = kMaxLongNameEntries - taken; i < kMaxLongNameEntries; ++i)
    chars.append(slots[i], kCharsPerLongNameEntry);
  size_t nul = chars.find(u'\0');
  if (nul != std::u16string::npos) chars.resize(nul);
  // Long names pass through the locale's codeset, as the system's names do.
  name = text::FromLocale(text::ToLocale(chars));
  return result;
}

bool CFATDriver::NextDirItem(FatDirWalk& w, uint8_t* entry, std::u16string& name, bool includeDeleted) {
  for (;;) {
    if (!NextDirEntry(w, entry) || entry[0] == 0) return false;
    if (entry[0] == kDeletedMark && !includeDeleted) continue;
    if (IsLongNameEntry(entry)) {
      int taken = 0;
      bool ok = AssembleLongName(w, entry, name, &taken);
      // A run that ended on the first entry of another run (a different checksum) leaves
      // its name without an item; the new run is assembled for the item that follows.
      while (ok && taken < kMaxLongNameEntries && IsLongNameEntry(entry) && (entry[kLfnSequence] & 0x40) &&
             bytes::RawLE16(entry + kLfnZero) == 0 && (entry[0] != kDeletedMark || includeDeleted))
        ok = AssembleLongName(w, entry, name, &taken);
      if (ok) return true;
      name = ShortNameText(entry);
      return true;
    }
    name = ShortNameText(entry);
    if (entry[0] == kDeletedMark && includeDeleted) name = MarkDeletedName(name);
    return true;
  }
}

bool CFATDriver::HasDotEntries(uint64_t cluster) {
  FatDirWalk w(cluster, 0);
  uint8_t e[kDirEntrySize];
  if (!NextDirEntry(w, e) || !(e[kAttributes] & kAttrFolder) || ShortNameText(e) != u".") return false;
  if (!NextDirEntry(w, e) || !(e[kAttributes] & kAttrFolder) || ShortNameText(e) != u"..") return false;
  return true;
}

bool CFATDriver::ReadFileData(uint8_t* buffer, uint32_t request, uint64_t size, uint64_t& c, uint64_t& offset,
                              uint32_t& got, bool followChain) {
  got = 0;
  if (offset >= size) return offset == size;
  const uint64_t bps = m_nBytesPerSector, spc = m_nSectorsPerCluster;
  if (bps == 0 || spc == 0 || m_pDataCache.size() < bps) return false;
  uint64_t n = std::min<uint64_t>(request, size - offset);
  uint64_t k = (offset / bps) % spc;
  uint64_t o = offset % bps;
  while (n > 0) {
    // The file's clusters are taken consecutively; past the last cluster there is
    // nothing of it to read.
    if (!IsClusterNumber(c)) return false;
    uint64_t piece = std::min(n, bps - o);
    uint64_t s = ClusterToSector(c) + k;
    if (s != m_nDataCacheSector || !m_bDataCacheValid) {
      m_bDataCacheValid = ReadSectors(s, m_pDataCache.data(), m_nBytesPerSector, 1);
      m_nDataCacheSector = s;
      if (!m_bDataCacheValid) return false;
    }
    std::memcpy(buffer, m_pDataCache.data() + o, piece);
    offset += piece;
    got += static_cast<uint32_t>(piece);
    buffer += piece;
    if (o + piece == bps && ++k == spc) {
      k = 0;
      if (!followChain) {
        ++c;
      } else if (offset < size) {
        uint32_t next = GetFatEntry(c, 0);
        if (ClassifyFatValue(next) != FAT_IN_USE || !IsClusterNumber(next)) return false;
        c = next;
      }
    }
    n -= piece;
    o = 0;
  }
  return true;
}

bool FatTimeToUnix(uint16_t date, uint16_t time, int64_t& t) {
  // The calendar conversion is costly (it consults the zone file every call), and a
  // listing converts three times per entry: the start of each (date, hour) is converted
  // once and kept; minutes and seconds are added to it. The cache is dropped when TZ
  // changes.
  struct HourCache {
    std::string strTz;
    std::unordered_map<uint32_t, int64_t> starts;  // (date << 5 | hour) -> seconds, or kFailed
  };
  static constexpr int64_t kFailed = INT64_MIN;
  thread_local HourCache cache;
  const char* tz = std::getenv("TZ");
  if ((tz ? tz : "") != cache.strTz) {
    cache.strTz = tz ? tz : "";
    cache.starts.clear();
  }
  const uint32_t hour = time >> 11;
  const uint32_t key = (uint32_t(date) << 5) | hour;
  auto it = cache.starts.find(key);
  if (it == cache.starts.end()) {
    struct tm tmv {};
    tmv.tm_hour = int(hour);
    tmv.tm_mday = date & 0x1F;
    tmv.tm_mon = ((date >> 5) & 0x0F) - 1;
    tmv.tm_year = (date >> 9) + 80;
    tmv.tm_isdst = -1;
    time_t r = mktime(&tmv);
    if (cache.starts.size() > 100000) cache.starts.clear();
    it = cache.starts.emplace(key, r == static_cast<time_t>(-1) ? kFailed : int64_t(r)).first;
  }
  if (it->second == kFailed) return false;
  t = it->second + int64_t((time >> 5) & 0x3F) * 60 + int64_t(time & 0x1F) * 2;
  return true;
}

// ---------------------------------------------------------------------------------------
// The lost-folder search.

bool CFATDriver::PrepareScan(uint64_t first, uint64_t last, CUnitBitmap* visited, IProgressWindow* progress) {
  if (!m_bScanDir) return true;
  return MarkFolderTree(first, last, visited, m_nRootCluster, m_nRootSector, progress);
}

bool CFATDriver::MarkFolderTree(uint64_t low, uint64_t high, CUnitBitmap* visited, uint64_t c, uint64_t s,
                                IProgressWindow* progress, int depth) {
  visited->Set(c);
  FatDirWalk w(c, s);
  uint64_t m = c;
  uint8_t e[kDirEntrySize];
  std::u16string name;
  for (;;) {
    if (progress && IsDialogStopSignalled()) return false;
    bool ok = NextDirItem(w, e, name, true);
    if (w.nCluster != 0) {
      if (w.nCluster < low || w.nCluster > high) return true;
      if (w.nCluster != m) {
        visited->Set(w.nCluster);
        m = w.nCluster;
      }
    }
    if (!ok) return true;
    const uint8_t kind = e[kAttributes] & (kAttrFolder | kAttrLabel);
    uint64_t f = FirstCluster(e);
    if (kind == kAttrFolder) {
      if (name == u"." || name == u"..") continue;
      if (f >= low && f <= high && depth < kMaxFolderDepth && HasDotEntries(f) && !visited->Test(f))
        MarkFolderTree(low, high, visited, f, 0, progress, depth + 1);
    } else if (kind == 0) {
      // A file's chain as far as the table still links it; a deleted file marks only its
      // first cluster. Bounded by the cluster count, and it stops at a marked cluster.
      uint64_t steps = 0;
      while (f >= low && f <= high && !visited->Test(f) && steps++ <= m_nClusterCount) {
        visited->Set(f);
        uint32_t next = GetFatEntry(f, 0);
        int cls = ClassifyFatValue(next);
        if (cls == FAT_END_OF_CHAIN || cls == FAT_FREE) break;
        f = next;
      }
    }
  }
}

bool CFATDriver::IsEmptyAfterDots(uint64_t cluster) {
  FatDirWalk w(cluster, 0, 2);
  uint8_t e[kDirEntrySize];
  std::u16string name;
  return !NextDirItem(w, e, name, false);
}

bool CFATDriver::ProbeRootCluster(uint64_t cluster) {
  if (!IsClusterNumber(cluster) || m_nBytesPerSector < 512) return false;
  if (!ReadDirSector(ClusterToSector(cluster))) return false;
  std::memcpy(m_pProbeSector.data(), m_pDirCache.data(), m_nBytesPerSector);
  const uint8_t* sec = m_pProbeSector.data();
  auto validTime = [](uint16_t t) { return t == 0 || ((t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23); };
  auto validDate = [](uint16_t d) {
    if (d == 0) return true;
    unsigned day = d & 0x1F, month = (d >> 5) & 0x0F, year = d >> 9;
    return day >= 1 && month <= 12 && !(month == 0 && year == 0);
  };
  bool inLongName = false;
  for (int i = 0; i < 16; ++i) {
    const uint8_t* e = sec + i * kDirEntrySize;
    if (i == 0 && e[0] == 0) return false;
    if (e[kAttributes] == kAttrLongName && bytes::RawLE16(e + kLfnZero) == 0 && ((e[0] & 0x40) || inLongName)) {
      inLongName = true;
      continue;
    }
    inLongName = false;
    for (int k = 0; k < 10; ++k) {
      uint8_t b = e[k];
      if (b < 0x20 && !(k == 0 && b == 0x05)) return false;
      switch (b) {
        case 0x22: case 0x2A: case 0x2B: case 0x2C: case 0x2E: case 0x2F: case 0x3A: case 0x3B: case 0x3C:
        case 0x3D: case 0x3E: case 0x3F: case 0x5B: case 0x5C: case 0x5D: case 0x7C:
          return false;
        default: break;
      }
    }
    uint64_t f = FirstCluster(e);
    if (e[kAttributes] & kAttrLabel) {
      if (f != 0) return false;
    } else if (!IsClusterNumber(f)) {
      return false;
    }
    if (e[kAttributes] & 0xC0) return false;
    if (bytes::RawLE32(e + kSize) / 512 > m_nDataSectors) return false;
    if (!validTime(bytes::RawLE16(e + kWriteTime)) || !validTime(bytes::RawLE16(e + kCreateTime))) return false;
    if (!validDate(bytes::RawLE16(e + kWriteDate)) || !validDate(bytes::RawLE16(e + kCreateDate)) ||
        !validDate(bytes::RawLE16(e + kAccessDate)))
      return false;
  }
  return true;
}

bool CFATDriver::LongNameTest(uint64_t cluster) {
  FatDirWalk w(cluster, 0);
  uint8_t e[kDirEntrySize];
  bool r = false;
  const uint64_t limit = uint64_t(m_nSectorsPerCluster) * 16;
  for (uint64_t i = 0; i < limit; ++i) {
    if (!NextDirEntry(w, e)) break;
    if (e[kAttributes] == kAttrLongName && bytes::RawLE16(e + kLfnZero) == 0 && (e[0] & 0x40)) {
      if (bytes::RawLE16(e + kLfnChars1 + 18) == 0) {  // the word at offset 20
        if (r) return false;
        r = true;
      }
    } else {
      r = false;
    }
  }
  return r;
}

bool CFATDriver::ScanUnit(uint64_t i, CUnitBitmap* visited, IProgressWindow* progress) {
  if (!visited) return false;
  bool subfolder = HasDotEntries(i) && !IsEmptyAfterDots(i);
  bool rootFolder = !subfolder && ProbeRootCluster(i) && LongNameTest(i);
  if (subfolder || rootFolder) {
    if (!m_bScanDir) return false;
    auto dir = std::make_unique<CFATDirectory>();
    dir->m_nFirstCluster = i;
    AddLostFolder(*this, std::move(dir), rootFolder);
    MarkFolderTree(m_nFirstUnit, m_nLastUnit, visited, i, 0, progress);
    return false;
  }
  std::u16string extension;
  uint64_t length = 0;
  if (!IdentifyFile(i, extension, length)) return false;
  return AddCarvedFile(*this, i, extension, length, visited) != nullptr;
}
