// Folder walks, names and file data.
//
// Format notes: a folder is a run of 32-byte entries (fat/FATLayout.h), in the fixed root
// region of FAT12/16 (sector by sector) or in a cluster chain. A first name byte 0x00
// ends the folder, 0xE5 marks a deleted entry. A long name is stored in entries of 13
// UTF-16 characters placed before its short entry, the one holding the end of the name
// first (sequence bit 0x40); each carries the checksum of the short name. Traps and
// decisions:
// - A folder chain may come back on itself: the walk keeps the clusters it entered and
//   ends at the first repeat. A cluster number outside 2..count+1 also ends it.
// - An unreadable folder sector ends the walk; its stale bytes are never taken for
//   entries.
// - A long-name run ends at the first entry that is not a long-name entry of the same
//   checksum, or after 18 entries; the name is cut at its first 0 (the padding after it is
//   0xFFFF). A run that ends on the first entry of another run gives its name up; the new
//   run names the item that follows.
// - A long-name entry that starts no run, or a run the walk cannot finish (its chain or
//   its readable sectors end), is handed out as an item of its own. Its attribute byte
//   0x0F includes the label bit, so every caller passes it over. A run followed by the end
//   mark ends the folder without an item.
// - Long names pass through the locale's codeset as the system's own names do.
// - A short name without a long name is shown as Windows shows it: byte 12 of its entry
//   asks for a lower-case base name (0x08) and/or extension (0x10); only A-Z change.
// - Deleted entries lost their first character: it is shown as the replace character,
//   and a second byte of 0x80 or more (half of a double-byte character) goes with it.
// - A deleted folder's chain is gone (the table entries of its clusters are 0), so after
//   its first cluster the walk reads the following clusters, the way a deleted file's data
//   is read, for as long as each one is free and holds nothing but plausible entries up to
//   an end mark (CheckFolderContinuation). A cluster that starts with "." and ".." is the
//   start of another folder, and file data fails the entry rules. A folder that filled its
//   last cluster has no end mark: the cluster after it is judged the same way. Where the
//   table still links a chain (a lost folder found intact), that chain is followed.
// - Entry times are local time, two-second resolution; the access field has no time.
#include "fat/FATDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "fat/FatDirEntry.h"
#include "fat/FATLayout.h"
#include "platform/ByteReader.h"
#include "platform/Text.h"
#include "tree/OutputFile.h"

using namespace fatlayout;
using namespace fatdir;

namespace {
// Copies count characters of a long-name entry's field at offset into out.
template <size_t Offset, size_t Count>
void TakeNameChars(FatDirEntryBytes e, char16_t* out) {
  auto field = e.subspan<Offset, 2 * Count>();
  for (size_t k = 0; k < Count; ++k) out[k] = bytes::RawLE16(field.data() + 2 * k);
}
}  // namespace

bool CFATDriver::ReadDirSector(uint64_t sector) {
  if (sector == m_nDirCacheSector && sector != 0) return true;
  if (!ReadSectors(sector, m_pDirCache.data(), m_nBytesPerSector, 1)) {
    m_nDirCacheSector = 0;
    return false;
  }
  m_nDirCacheSector = sector;
  return true;
}

bool CFATDriver::NextDirEntry(FatDirWalk& w, FatDirEntryBuffer entry) {
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
      uint64_t next = GetFatEntry(w.nCluster, m_nChainFat - 1u);
      if (w.bChainGone && ClassifyFatValue(uint32_t(next)) == FAT_FREE) {
        // A deleted folder goes on in the following cluster, if that one reads as its part.
        next = w.nCluster + 1;
        if (CheckFolderContinuation(next, w.entered.size()) != FatContinuation::Ok) return false;
      } else if (ClassifyFatValue(uint32_t(next)) == FAT_END_OF_CHAIN || !IsClusterNumber(next)) {
        return false;
      }
      // A chain that comes back to a cluster it has passed is damaged: stop there.
      if (!w.entered.insert(next).second) return false;
      w.nCluster = next;
      w.nIndex = 0;
    }
    sector = ClusterToSector(w.nCluster) + (uint64_t(w.nIndex) * kDirEntrySize) / m_nBytesPerSector;
  }
  // An unreadable folder sector ends the walk (stale bytes would be taken for entries).
  if (!ReadDirSector(sector)) return false;
  std::memcpy(entry.data(), m_pDirCache.data() + (w.nIndex % perSector) * kDirEntrySize, kDirEntrySize);
  ++w.nIndex;
  return true;
}

FatContinuation CFATDriver::CheckFolderContinuation(uint64_t cluster, size_t clustersSoFar, FatEntryCheck* why) {
  if (!IsClusterNumber(cluster)) return FatContinuation::OutOfVolume;
  if (m_nBytesPerCluster == 0 || m_nBytesPerSector < kDirEntrySize) return FatContinuation::OutOfVolume;
  // 2 MiB of entries: 4,096 clusters of 512 bytes, 64 of 32 KiB.
  const uint64_t maxClusters = uint64_t(kMaxFolderEntries) * kDirEntrySize / m_nBytesPerCluster;
  if (uint64_t(clustersSoFar) >= maxClusters) return FatContinuation::AtLimit;
  if (ClassifyFatValue(GetFatEntry(cluster, m_nChainFat - 1u)) != FAT_FREE) return FatContinuation::Allocated;
  // Bounded by the data area's size: at most 2^32 sectors of at most 2^16 bytes each.
  const uint64_t dataBytes = m_nDataSectors * m_nBytesPerSector;
  const uint32_t perSector = m_nBytesPerSector / kDirEntrySize;
  const uint64_t firstSector = ClusterToSector(cluster);
  for (uint32_t s = 0; s < m_nSectorsPerCluster; ++s) {
    if (!ReadDirSector(firstSector + s)) return FatContinuation::Unreadable;
    for (uint32_t i = 0; i < perSector; ++i) {
      const FatDirEntryBytes e(m_pDirCache.data() + size_t(i) * kDirEntrySize, kDirEntrySize);
      const FatEntryCheck check = CheckFolderEntry(e, m_nClusterCount, dataBytes);
      // The folder ends inside this cluster: what follows the end mark is never read.
      if (check == FatEntryCheck::EndMark) return FatContinuation::Ok;
      if (check != FatEntryCheck::Ok) {
        if (why) *why = check;
        return FatContinuation::BadEntry;
      }
    }
  }
  return FatContinuation::Ok;
}

FatEntryCheck fatdir::CheckFolderEntry(FatDirEntryBytes e, uint64_t clusterCount, uint64_t dataBytes) {
  constexpr uint8_t kMaxCreateTenths = 199;
  if (e[kName] == kEndMark) return FatEntryCheck::EndMark;
  const uint8_t attributes = e[kAttributes];
  if (IsLongNameEntry(e)) {
    if (attributes != kAttrLongName) return FatEntryCheck::BadAttributes;
    if (LE16<kLfnZero>(e) != 0 || e[kLfnType] != 0) return FatEntryCheck::BadLongName;
    const uint8_t sequence = e[kLfnSequence];
    const uint8_t ordinal = sequence & kLfnOrdinalMask;
    if (sequence != kDeletedMark &&
        ((sequence & ~(kLfnOrdinalMask | kLfnLast)) != 0 || ordinal == 0 || ordinal > kLfnMaxOrdinal))
      return FatEntryCheck::BadLongName;
    return FatEntryCheck::Ok;
  }
  const auto name = e.subspan<kName, kNameSize + kExtensionSize>();
  static constexpr uint8_t kDot[] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  static constexpr uint8_t kDotDot[] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  if (std::equal(name.begin(), name.end(), kDot) || std::equal(name.begin(), name.end(), kDotDot))
    return FatEntryCheck::DotEntry;
  if (attributes & (kAttrUnused | kAttrLabel)) return FatEntryCheck::BadAttributes;
  for (size_t k = 0; k < name.size(); ++k) {
    const uint8_t b = name[k];
    if (k == 0 && (b == kDeletedMark || b == kE5Stand)) continue;
    if (b < 0x20 || ForbiddenInName(b) || (k == 0 && b == ' ')) return FatEntryCheck::BadName;
  }
  const uint64_t first = FirstCluster(e);
  const uint32_t size = LE32<kSize>(e);
  const bool folder = attributes & kAttrFolder;
  const bool inVolume = first >= 2 && first <= clusterCount + 1;
  // Only an empty file has no cluster.
  if (!inVolume && (folder || first != 0 || size != 0)) return FatEntryCheck::ClusterOutOfRange;
  if (folder ? size != 0 : size > dataBytes) return FatEntryCheck::BadSize;
  if (e[kCreateTenths] > kMaxCreateTenths || !ValidTime(LE16<kCreateTime>(e)) || !ValidTime(LE16<kWriteTime>(e)) ||
      !ValidDate(LE16<kCreateDate>(e)) || !ValidDate(LE16<kWriteDate>(e)) || !ValidDate(LE16<kAccessDate>(e)))
    return FatEntryCheck::BadTime;
  return FatEntryCheck::Ok;
}

std::u16string CFATDriver::ShortNameText(FatDirEntryBytes e) {
  // Byte 12 asks for lower case. Only the letters A-Z change: a byte above 0x7F is a
  // character of the volume's code page, shown as it is.
  auto take = [](auto bytes, bool lower, std::u16string& out) {
    for (uint8_t c : bytes) {
      if (c == ' ') continue;
      if (lower && c >= 'A' && c <= 'Z') c = uint8_t(c - 'A' + 'a');
      out += char16_t(c);
    }
  };
  std::u16string base, ext;
  take(e.subspan<kName, kNameSize>(), e[kNameCase] & kCaseLowerBase, base);
  take(e.subspan<kExtension, kExtensionSize>(), e[kNameCase] & kCaseLowerExtension, ext);
  return ext.empty() ? base : base + u"." + ext;
}

std::u16string CFATDriver::MarkDeletedName(const std::u16string& name) const {
  const char16_t c = m_chReplaceChar;
  if (name.size() > 1) return std::u16string(1, c) + name.substr(name[1] < 0x80 ? 1 : 2);
  if (name.size() == 1) return std::u16string(1, c);
  return name;
}

bool CFATDriver::AssembleLongName(FatDirWalk& w, FatDirEntryBuffer entry, std::u16string& name, int* takenOut) {
  if (!IsLongNameStart(entry)) return false;
  const uint8_t checksum = entry[kLfnChecksum];
  char16_t slots[kMaxLongNameEntries][kCharsPerLongNameEntry];
  int taken = 0;
  bool result = true;
  for (;;) {
    char16_t* slot = slots[kMaxLongNameEntries - 1 - taken];
    TakeNameChars<kLfnChars1, kLfnChars1Count>(entry, slot);
    TakeNameChars<kLfnChars2, kLfnChars2Count>(entry, slot + kLfnChars1Count);
    TakeNameChars<kLfnChars3, kLfnChars3Count>(entry, slot + kLfnChars1Count + kLfnChars2Count);
    if (++taken == kMaxLongNameEntries) break;
    result = NextDirEntry(w, entry);
    if (!result) break;
    if (!IsLongNamePart(entry) || entry[kLfnChecksum] != checksum) break;
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

bool CFATDriver::NextDirItem(FatDirWalk& w, FatDirEntryBuffer entry, std::u16string& name, bool includeDeleted) {
  for (;;) {
    if (!NextDirEntry(w, entry) || entry[kName] == kEndMark) return false;
    if (entry[kName] == kDeletedMark && !includeDeleted) continue;
    if (IsLongNameEntry(entry)) {
      int taken = 0;
      bool ok = AssembleLongName(w, entry, name, &taken);
      // A run that ended on the first entry of another run (a different checksum) leaves
      // its name without an item; the new run is assembled for the item that follows.
      while (ok && taken < kMaxLongNameEntries && IsLongNameStart(entry) &&
             (entry[kName] != kDeletedMark || includeDeleted))
        ok = AssembleLongName(w, entry, name, &taken);
      // A run followed by the end mark has lost its item, and the folder ends there.
      if (ok && entry[kName] == kEndMark) return false;
      if (ok) return true;
      name = ShortNameText(entry);
      return true;
    }
    name = ShortNameText(entry);
    if (entry[kName] == kDeletedMark && includeDeleted) name = MarkDeletedName(name);
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
                              uint32_t& got, bool followChain, IOutputFile* unreadable) {
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
    }
    if (m_bDataCacheValid) {
      std::memcpy(buffer, m_pDataCache.data() + o, piece);
    } else {
      if (!unreadable || !FailedSectorsAreBad(s, 1)) return false;
      std::memset(buffer, 0, piece);
      unreadable->NoteUnreadable(offset, piece);
    }
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
