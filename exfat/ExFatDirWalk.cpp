// Folder walks and file data.
//
// Format notes: a folder is a run of 32-byte entries in clusters that follow the FAT, or
// lie in a row when the folder's stream says "no FAT chain" (the root always uses the
// FAT). A type byte of 0 ends the folder. Traps and decisions:
// - Every walk is bounded: no more entries than the folder's data length (256 MiB at most,
//   whatever it claims), and a chain that comes back to a cluster it has passed ends the
//   walk. An unreadable sector ends it too (stale bytes are never taken for entries).
// - A set is gathered entry by entry: its secondaries must be secondaries of the same in-use
//   state as its File entry. The first entry that is not ends the set early and is given
//   back to the walk, so a deleted set cut short by a set written over its tail never
//   swallows that set. A set that does not parse is passed over.
// - A set may continue into the folder's next cluster.
// - File data: a stream with "no FAT chain" lies in one run from its first cluster. An
//   existing file that uses the FAT follows it. A deleted file that used the FAT follows
//   its chain only while the chain is whole: every link a cluster number whose bitmap bit
//   is free, and the end-of-chain mark right after the last cluster its length needs.
//   Otherwise (the usual case: the chain was cleared when the file was deleted) it is read
//   as consecutive clusters, and its status says so.
// - A chain is followed no further than the clusters the length needs, so a crafted loop
//   cannot hang a read; a link that goes back to a cluster some earlier backward link went
//   to is a loop and ends the chain.
#include "exfat/ExFATDriver.h"

#include <algorithm>
#include <cstring>

#include "platform/Checked.h"

using namespace exfatlayout;
using namespace exfatdir;

namespace {
// A type byte of an entry a folder may hold, in use or deleted.
bool IsKnownEntryType(uint8_t type) {
  switch (type | kInUse) {
    case kTypeBitmap: case kTypeUpcase: case kTypeLabel: case kTypeFile: case kTypeGuid: case 0xA1: case 0xA2:
    case kTypeStream: case kTypeName: case 0xE0: case 0xE1:
      return true;
    default:
      return false;
  }
}
}  // namespace

bool CExFATDriver::ReadDirSector(uint64_t sector) {
  if (sector == m_nDirCacheSector) return true;
  if (m_pDirCache.size() < m_nBytesPerSector || !ReadSectors(sector, m_pDirCache.data(), m_nBytesPerSector, 1)) {
    m_nDirCacheSector = UINT64_MAX;
    return false;
  }
  m_nDirCacheSector = sector;
  return true;
}

bool CExFATDriver::NextDirEntry(ExFatDirWalk& w, std::span<uint8_t, kEntrySize> entry) {
  if (w.bHeld) {
    std::memcpy(entry.data(), w.held, kEntrySize);
    w.bHeld = false;
    return true;
  }
  if (m_nBytesPerCluster < kEntrySize || m_nBytesPerSector < kEntrySize) return false;
  const uint64_t limit =
      w.place.nLength ? std::min(w.place.nLength / kEntrySize, kMaxFolderEntries) : kMaxFolderEntries;
  if (w.nRead >= limit || !IsClusterNumber(w.nCluster)) return false;
  if (w.nIndex >= m_nBytesPerCluster / kEntrySize) {
    uint64_t next = 0;
    switch (w.place.chain) {
      case ExFatFolderPlace::Chain::Fat:
        next = GetFatEntry(w.nCluster);
        break;
      case ExFatFolderPlace::Chain::Contiguous:
        next = w.nCluster + 1;
        break;
      case ExFatFolderPlace::Chain::Lost: {
        // The FAT where it links on to a cluster that reads as a folder's, else the next one.
        const uint64_t linked = GetFatEntry(w.nCluster);
        if (IsClusterNumber(linked) && !w.entered.count(linked) && IsFolderContinuation(linked)) next = linked;
        else if (IsFolderContinuation(w.nCluster + 1)) next = w.nCluster + 1;
        else return false;
        break;
      }
    }
    if (!IsClusterNumber(next) || !w.entered.insert(next).second) return false;
    w.nCluster = next;
    w.nIndex = 0;
  }
  const uint64_t byte = w.nIndex * kEntrySize;
  if (!ReadDirSector(ClusterToSector(w.nCluster) + byte / m_nBytesPerSector)) return false;
  std::memcpy(entry.data(), m_pDirCache.data() + byte % m_nBytesPerSector, kEntrySize);
  ++w.nIndex;
  ++w.nRead;
  return true;
}

bool CExFATDriver::NextDirItem(ExFatDirWalk& w, bool includeDeleted, ExFatItemKind& kind, ExFatEntrySet& set,
                               std::span<uint8_t, kEntrySize> entry) {
  // A whole set: the File entry and up to 255 secondaries.
  uint8_t gathered[256 * kEntrySize];
  for (;;) {
    if (!NextDirEntry(w, entry)) return false;
    const uint8_t type = entry[kType];
    if (type == kTypeEnd) return false;
    switch (type) {
      case kTypeBitmap: kind = ExFatItemKind::Bitmap; return true;
      case kTypeUpcase: kind = ExFatItemKind::Upcase; return true;
      case kTypeLabel: kind = ExFatItemKind::Label; return true;
      default: break;
    }
    if (type != kTypeFile && !(includeDeleted && type == (kTypeFile & ~kInUse))) continue;
    std::memcpy(gathered, entry.data(), kEntrySize);
    const unsigned secondaries = entry[kSecondaryCount];
    const uint8_t inUse = type & kInUse;
    unsigned have = 1;
    uint8_t next[kEntrySize];
    while (have <= secondaries && NextDirEntry(w, next)) {
      if ((next[kType] & kInUse) != inUse || !(next[kType] & kSecondary)) {
        // The start of something else: the walk reads it next.
        std::memcpy(w.held, next, kEntrySize);
        w.bHeld = true;
        break;
      }
      std::memcpy(gathered + size_t(have) * kEntrySize, next, kEntrySize);
      ++have;
    }
    if (ParseExFatEntrySet(std::span<const uint8_t>(gathered, size_t(have) * kEntrySize), set) != ExFatSetParse::Ok)
      continue;
    kind = ExFatItemKind::FileSet;
    return true;
  }
}

ExFatFolderPlace CExFATDriver::FolderPlaceOf(const ExFatEntrySet& set) {
  ExFatFolderPlace place;
  place.nFirstCluster = set.nFirstCluster;
  place.nLength = std::min(set.nDataLength, kMaxFolderBytes);
  if (place.nLength == 0) place.nLength = kEntrySize;  // nothing to read, but not "unbounded"
  if (set.NoFatChain()) {
    place.chain = ExFatFolderPlace::Chain::Contiguous;
  } else if (set.bDeleted) {
    std::vector<ExFatRun> runs;
    place.chain = PlanData(set.nFirstCluster, place.nLength, false, true, runs) == ExFatDataPlan::FatChain
                      ? ExFatFolderPlace::Chain::Fat
                      : ExFatFolderPlace::Chain::Contiguous;
  } else {
    place.chain = ExFatFolderPlace::Chain::Fat;
  }
  return place;
}

bool CExFATDriver::IsFolderContinuation(uint64_t cluster) {
  if (!IsClusterNumber(cluster) || m_nBytesPerSector < kEntrySize) return false;
  const uint64_t first = ClusterToSector(cluster);
  const uint32_t perSector = m_nBytesPerSector / kEntrySize;
  bool ended = false, any = false;
  for (uint32_t s = 0; s < m_nSectorsPerCluster; ++s) {
    if (!ReadDirSector(first + s)) return false;
    for (uint32_t i = 0; i < perSector; ++i) {
      const uint8_t* e = m_pDirCache.data() + size_t(i) * kEntrySize;
      if (e[kType] == kTypeEnd) {
        // After the end mark a folder's cluster holds zeros (or entries of files deleted
        // before; the kernel and mkfs leave zeros).
        if (!std::all_of(e, e + kEntrySize, [](uint8_t b) { return b == 0; })) return false;
        ended = true;
        continue;
      }
      if (ended || !IsKnownEntryType(e[kType])) return false;
      any = true;
    }
  }
  return any;
}

ExFatDataPlan CExFATDriver::PlanData(uint64_t first, uint64_t length, bool noFatChain, bool deleted,
                                     std::vector<ExFatRun>& runs) {
  runs.clear();
  if (length == 0) return ExFatDataPlan::Empty;
  if (m_nBytesPerCluster == 0 || !IsClusterNumber(first)) return ExFatDataPlan::Broken;
  const uint64_t needed = (length - 1) / m_nBytesPerCluster + 1;
  const uint64_t lastCluster = m_nClusterCount + 1;
  auto inRow = [&](ExFatDataPlan plan) {
    const uint64_t room = lastCluster - first + 1;
    runs.push_back({first, std::min(needed, room)});
    return needed <= room ? plan : ExFatDataPlan::Broken;
  };
  if (noFatChain) return inRow(ExFatDataPlan::Contiguous);
  // One cluster needs no chain.
  if (needed == 1) return inRow(deleted ? ExFatDataPlan::Contiguous : ExFatDataPlan::FatChain);
  std::unordered_set<uint64_t> backTargets;
  uint64_t c = first, got = 0;
  bool whole = true;
  for (;;) {
    if (!runs.empty() && runs.back().nFirst + runs.back().nCount == c) ++runs.back().nCount;
    else runs.push_back({c, 1});
    if (++got == needed) break;
    const uint64_t next = GetFatEntry(c);
    if (!IsClusterNumber(next) || (deleted && IsClusterAllocated(next)) ||
        (next < c && !backTargets.insert(next).second)) {
      whole = false;
      break;
    }
    c = next;
  }
  // A deleted file's chain is trusted only when it ends exactly where its length does.
  if (whole && deleted && GetFatEntry(c) != kFatEnd) whole = false;
  if (whole) return ExFatDataPlan::FatChain;
  if (!deleted) return ExFatDataPlan::Broken;
  runs.clear();
  return inRow(ExFatDataPlan::ChainGone);
}

bool CExFATDriver::ReadRuns(const std::vector<ExFatRun>& runs, uint64_t offset, uint8_t* buffer, uint64_t length) {
  if (!m_hDevice) return false;
  const uint64_t shift = m_bSharedHandle ? m_nSectorOffset * 512 : 0;
  uint64_t runStart = 0;  // the file offset of the run's first byte
  for (const ExFatRun& run : runs) {
    if (length == 0) break;
    const uint64_t runBytes = run.nCount * m_nBytesPerCluster;
    if (offset >= runStart + runBytes) {
      runStart += runBytes;
      continue;
    }
    const uint64_t within = offset - runStart;
    const uint64_t take = std::min(runBytes - within, length);
    const auto at = checked::Mul<uint64_t>(ClusterToSector(run.nFirst), m_nBytesPerSector);
    const auto device = at ? checked::Add<uint64_t>(*at + within, shift) : std::nullopt;
    if (!device || !m_hDevice->Read(*device, buffer, size_t(take))) return false;
    buffer += take;
    offset += take;
    length -= take;
    runStart += runBytes;
  }
  return length == 0;
}
