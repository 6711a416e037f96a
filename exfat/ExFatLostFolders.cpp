// The deep scan on an exFAT volume: lost folders, carved files, and the index of where the
// volume's files begin.
//
// Format notes: a folder whose entry is gone (its parent deleted and overwritten, a quick
// re-format) still leaves its clusters, and the scan tells them from file data by their
// first entry set:
// - A folder's cluster begins with a File entry (in use or deleted) whose whole set lies in
//   the cluster, parses (stream extension, name entries for the name's length) and whose
//   set checksum holds: 16 bits over every byte of the set, which file data does not match
//   by chance once in 65,536 tries, on top of the structure.
// - A root folder begins with its label, allocation bitmap and up-case entries: among its
//   first three entries a bitmap entry and an up-case entry whose clusters lie inside the
//   volume; it is rebuilt as "dir_N (Root)".
// - A folder found is read cluster by cluster while the FAT links it on or the next cluster
//   reads as part of a folder (exfat/ExFatDirWalk.cpp), and everything in it is deleted.
// - A cluster taken for a folder is never carved. With the lost-folder search off (ScanDir)
//   that is all; with it on, the folder is added and its tree marked so its files are not
//   carved again, and the volume's own tree is marked before the scan: every cluster of a
//   folder, every cluster of an existing file, the first cluster of a deleted one.
#include "exfat/ExFATDriver.h"

#include "deepscan/ResultNodes.h"
#include "exfat/ExFATDirectory.h"
#include "tasks/StopEvents.h"

using namespace exfatlayout;
using namespace exfatdir;

std::unique_ptr<CFSFile> CExFATDriver::NewCarvedFile(uint64_t cluster) {
  auto file = std::make_unique<CExFATFile>();
  file->m_nFirstCluster = cluster;
  file->m_bCarved = true;
  return file;
}

bool CExFATDriver::ResultStartUnit(const CDirEntry& node, uint64_t& unit) const {
  if (auto* f = dynamic_cast<const CExFATFile*>(&node)) unit = f->m_nFirstCluster;
  else if (auto* d = dynamic_cast<const CExFATDirectory*>(&node)) unit = d->m_place.nFirstCluster;
  else return false;
  return true;
}

bool CExFATDriver::IsFolderStartCluster(uint64_t cluster, bool* asRoot) {
  if (asRoot) *asRoot = false;
  if (!IsClusterNumber(cluster)) return false;
  ExFatDirWalk walk({cluster, m_nBytesPerCluster, ExFatFolderPlace::Chain::Contiguous});
  uint8_t first[kEntrySize];
  if (!NextDirEntry(walk, first)) return false;
  const uint8_t type = first[kType];
  if (type == kTypeLabel || type == kTypeBitmap) {
    // A root folder: a bitmap and an up-case entry among the first three, inside the volume.
    bool bitmap = false, upcase = false;
    uint8_t e[kEntrySize];
    std::copy(first, first + kEntrySize, e);
    for (int k = 0; k < 3; ++k) {
      const ExFatEntryBytes entry(e);
      const uint64_t at = LE32<kDataFirstCluster>(entry), length = LE64<kDataLength>(entry);
      if (e[kType] == kTypeBitmap) bitmap = IsClusterNumber(at) && length >= (m_nClusterCount + 7) / 8;
      if (e[kType] == kTypeUpcase) upcase = IsClusterNumber(at) && length > 0;
      if (k < 2 && !NextDirEntry(walk, e)) break;
    }
    if (asRoot) *asRoot = bitmap && upcase;
    return bitmap && upcase;
  }
  if ((type | kInUse) != kTypeFile) return false;
  // The whole set, inside this cluster.
  uint8_t set[256 * kEntrySize];
  std::copy(first, first + kEntrySize, set);
  const unsigned secondaries = first[kSecondaryCount];
  for (unsigned k = 1; k <= secondaries; ++k) {
    std::span<uint8_t, kEntrySize> e(set + size_t(k) * kEntrySize, kEntrySize);
    if (!NextDirEntry(walk, e)) return false;
  }
  ExFatEntrySet parsed;
  if (ParseExFatEntrySet(std::span<const uint8_t>(set, size_t(secondaries + 1) * kEntrySize), parsed) !=
          ExFatSetParse::Ok ||
      !parsed.bChecksumOk)
    return false;
  // Its data must be able to lie in the volume.
  return parsed.nDataLength == 0 ? parsed.nFirstCluster == 0 || IsClusterNumber(parsed.nFirstCluster)
                                 : IsClusterNumber(parsed.nFirstCluster);
}

bool CExFATDriver::MarkFolderTree(CUnitBitmap* visited, const ExFatFolderPlace& place, IProgressWindow* progress,
                                  int depth, bool deleted) {
  ExFatDirWalk walk(place);
  uint8_t e[kEntrySize];
  ExFatItemKind kind;
  ExFatEntrySet set;
  std::vector<ExFatRun> runs;
  bool stopped = false;
  while (NextDirItem(walk, true, kind, set, e)) {
    if (progress && IsDialogStopSignalled()) {
      stopped = true;
      break;
    }
    if (kind != ExFatItemKind::FileSet) continue;
    const bool gone = deleted || set.bDeleted;
    const uint64_t first = set.nFirstCluster;
    if (set.IsFolder()) {
      if (!IsClusterNumber(first) || visited->Test(first) || depth + 1 >= kMaxFolderDepth) continue;
      if (gone && IsClusterAllocated(first)) continue;
      visited->Set(first);
      ExFatEntrySet judged = set;
      judged.bDeleted = gone;
      if (!MarkFolderTree(visited, FolderPlaceOf(judged), progress, depth + 1, gone)) {
        stopped = true;
        break;
      }
    } else if (gone) {
      visited->Set(first);
    } else {
      PlanData(first, set.nDataLength, set.NoFatChain(), false, runs);
      for (const ExFatRun& run : runs)
        for (uint64_t k = 0; k < run.nCount; ++k) visited->Set(run.nFirst + k);
    }
  }
  for (uint64_t c : walk.entered) visited->Set(c);
  return !stopped;
}

bool CExFATDriver::PrepareScan(uint64_t, uint64_t, CUnitBitmap* visited, IProgressWindow* progress) {
  if (!m_bScanDir) return true;
  LoadRootMetadata();
  std::vector<ExFatRun> runs;
  for (auto [first, length] : {std::pair{m_nBitmapCluster, m_nBitmapLength}, {m_nUpcaseCluster, m_nUpcaseLength}}) {
    PlanData(first, length, false, false, runs);
    for (const ExFatRun& run : runs)
      for (uint64_t k = 0; k < run.nCount; ++k) visited->Set(run.nFirst + k);
  }
  visited->Set(m_nRootCluster);
  return MarkFolderTree(visited, RootPlace(), progress, 0, false);
}

bool CExFATDriver::ScanUnit(uint64_t i, CUnitBitmap* visited, IProgressWindow* progress) {
  if (!visited) return false;
  bool root = false;
  if (IsFolderStartCluster(i, &root)) {
    if (!m_bScanDir) return false;
    auto dir = std::make_unique<CExFATDirectory>();
    dir->m_place = {i, 0, ExFatFolderPlace::Chain::Lost};
    CDirectory* added = AddLostFolder(*this, std::move(dir), root);
    if (!added) return false;
    const ExFatFolderPlace place = static_cast<CExFATDirectory*>(added)->m_place;
    // Files carved from here on at the first cluster of one of its files take that name.
    std::vector<FirstUnitItem> items;
    CollectFirstUnitsFrom(place, added->m_strName, true, items);
    AddFirstUnitItems(*this, std::move(items));
    MarkFolderTree(visited, place, progress, 0, true);
    return false;
  }
  std::u16string extension;
  uint64_t length = 0;
  if (!IdentifyFile(i, extension, length)) return false;
  return AddCarvedFile(*this, i, extension, length, visited) != nullptr;
}

void CExFATDriver::CollectFirstUnits(std::vector<FirstUnitItem>& items) {
  CollectFirstUnitsFrom(RootPlace(), u"", false, items);
}

void CExFATDriver::CollectFirstUnitsFrom(const ExFatFolderPlace& start, const std::u16string& prefix, bool deleted,
                                         std::vector<FirstUnitItem>& items) {
  struct Folder {
    ExFatFolderPlace place;
    std::u16string strPath;
    bool bDeleted;
    int nDepth;
  };
  std::vector<Folder> pending{{start, prefix, deleted, 0}};
  // A folder cluster is read once: shared or looping folders cannot multiply the walk.
  std::unordered_set<uint64_t> seen{start.nFirstCluster};
  uint8_t e[kEntrySize];
  ExFatItemKind kind;
  ExFatEntrySet set;
  while (!pending.empty()) {
    Folder folder = std::move(pending.back());
    pending.pop_back();
    ExFatDirWalk walk(folder.place);
    while (NextDirItem(walk, true, kind, set, e)) {
      if (kind != ExFatItemKind::FileSet || !IsClusterNumber(set.nFirstCluster)) continue;
      const bool deleted = folder.bDeleted || set.bDeleted;
      std::u16string path = folder.strPath.empty() ? set.strName : folder.strPath + u"/" + set.strName;
      if (set.IsFolder()) {
        if (folder.nDepth + 1 < kMaxFolderDepth && seen.insert(set.nFirstCluster).second &&
            !(deleted && IsClusterAllocated(set.nFirstCluster))) {
          ExFatEntrySet judged = set;
          judged.bDeleted = deleted;
          pending.push_back({FolderPlaceOf(judged), std::move(path), deleted, folder.nDepth + 1});
        }
      } else if (set.nDataLength > 0) {
        items.push_back({set.nFirstCluster, std::move(path), deleted});
      }
    }
  }
}
