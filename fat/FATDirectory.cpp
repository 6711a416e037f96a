// Listing a FAT folder as tree nodes, and writing a FAT file out.
//
// Format notes: the entries come from the volume's folder walk (fat/FatDirWalk.cpp) with
// their long names assembled. Traps and decisions:
// - The dot entries are not items. A folder entry is listed only above the folder-depth
//   ceiling, with a first cluster inside the volume that is not the cluster of this folder
//   or one above it, and only once per volume: a damaged or crafted tree cannot loop or
//   multiply. A deleted folder is listed only while its cluster still starts with "."
//   and "..". Its chain is gone: its walk goes on into the clusters that follow its first
//   while they read as its part (fat/FatDirWalk.cpp).
// - Labels and long-name entries left over by the walk are not items.
// - Times are decoded as local time; a date that does not convert leaves the times unset
//   (the modification and access times are only taken after the creation time).
// - The status of a deleted item is judged by its first cluster alone: taken again in the
//   table (or below 2) is poor, free is good for a folder and for a file as its header
//   check says.
#include "fat/FATDirectory.h"

#include "tasks/FrontEnd.h"
#include "fat/FatDirEntry.h"
#include "fat/FATLayout.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tree/OutputFile.h"

using namespace fatlayout;
using namespace fatdir;

namespace {
// Whether cluster is the first cluster of this folder or of a folder above it.
bool OnPath(const CFATDirectory* folder, uint64_t cluster) {
  for (const CDirectory* d = folder; d; d = d->m_pParent) {
    auto* fd = dynamic_cast<const CFATDirectory*>(d);
    if (fd && fd->m_nFirstCluster == cluster) return true;
  }
  return false;
}

int Depth(const CDirEntry* n) {
  int depth = 0;
  for (; n && n->m_pParent; n = n->m_pParent) ++depth;
  return depth;
}
}  // namespace

namespace {
// Clusters after the first that a deleted file's status looks at in the FAT: enough for
// files of hundreds of megabytes, a bounded cost for larger ones.
constexpr uint64_t kMaxClustersChecked = 1 << 16;

// A deleted item's status and its reason. Its chain is gone from the FAT, so it is read
// as consecutive clusters from the first: Poor on evidence that this gives something else
// (no valid first cluster, a cluster in use by another file, the volume's end before the
// file's, a header check that fails), otherwise the header check of its type.
uint32_t DeletedStatus(CFATDriver& volume, const CDirEntry& node, uint64_t first, StatusReason& reason) {
  if (first == 0 && !node.IsDirectory() && node.m_nSize == 0) {
    reason = StatusReason::EmptyFile;
    return STATUS_EXCELLENT;
  }
  if (first < 2) {
    reason = StatusReason::NoFirstCluster;
    return STATUS_POOR;
  }
  if (!volume.IsClusterNumber(first)) {
    reason = StatusReason::PastVolumeEnd;
    return STATUS_POOR;
  }
  if (volume.GetFatEntry(first, 0) != 0) {
    reason = StatusReason::FirstClusterInUse;
    return STATUS_POOR;
  }
  if (node.IsDirectory()) {
    reason = StatusReason::DeletedFolder;
    return STATUS_GOOD;
  }
  const uint64_t bpc = volume.m_nBytesPerCluster, clusters = bpc ? (node.m_nSize + bpc - 1) / bpc : 0;
  if (clusters > 0 && !volume.IsClusterNumber(first + clusters - 1)) {
    reason = StatusReason::PastVolumeEnd;
    return STATUS_POOR;
  }
  for (uint64_t k = 1; k < clusters && k < kMaxClustersChecked; ++k) {
    if (volume.GetFatEntry(first + k, 0) != 0) {
      reason = StatusReason::ClusterInUse;
      return STATUS_POOR;
    }
  }
  return volume.CheckFileHeader(first, &node, &reason);
}
}  // namespace

void CFATDirectory::LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) {
  auto* volume = dynamic_cast<CFATDriver*>(m_pDriver);
  if (!volume) return;
  if (m_nFirstCluster == 0 && m_nFirstSector == 0) {
    // "LostFiles": nothing on disk to list; it is filled by the deep scan.
    if (!force) FrontEndHooks().RunDeepScan(this);
    else m_bLoaded = true;
    return;
  }
  m_bLoaded = true;
  const bool deepEnough = Depth(this) >= kMaxFolderDepth;
  FatDirWalk walk(m_nFirstCluster, m_nFirstSector, 0, m_bDeleted);
  uint8_t e[kDirEntrySize];
  std::u16string name;
  const FatDirEntryBytes entry(e);
  while (volume->NextDirItem(walk, e, name, includeDeleted)) {
    const bool deleted = e[kName] == kDeletedMark || m_bDeleted;
    const uint64_t first = FirstCluster(e);
    const uint8_t kind = e[kAttributes] & (kAttrFolder | kAttrLabel);
    std::unique_ptr<CDirEntry> node;
    if (kind == kAttrFolder) {
      if (name == u"." || name == u"..") continue;
      // A folder entry without a valid cluster, or one leading back up the path, is not a
      // folder of this tree: listing it would make every walk below it loop.
      if (deepEnough || !volume->IsClusterNumber(first) || OnPath(this, first)) continue;
      if (deleted && !volume->HasDotEntries(first)) continue;
      // A folder cluster belongs to one folder; a second reference to it (damage, or a
      // crafted tree whose folders share clusters) would multiply the tree without end.
      if (!volume->m_listedFolderClusters.insert(first).second) continue;
      auto dir = std::make_unique<CFATDirectory>();
      dir->m_nFirstCluster = first;
      node = std::move(dir);
    } else if (kind == 0) {
      if (includeDeleted && deletedFilesOnly && !deleted) continue;
      auto file = std::make_unique<CFATFile>();
      file->m_nFirstCluster = first;
      file->m_nSize = LE32<kSize>(entry);
      const uint64_t bpc = volume->m_nBytesPerCluster;
      file->m_nAllocatedSize = (file->m_nSize + bpc - 1) / bpc * bpc;
      node = std::move(file);
    } else {
      continue;
    }
    node->m_pDriver = volume;
    node->m_strName = name;
    if (!node->IsDirectory()) node->m_strExtension = ExtensionOf(name);
    node->m_dwAttributes = e[kAttributes];
    node->m_bDeleted = deleted;
    int64_t t;
    if (FatTimeToUnix(LE16<kCreateDate>(entry), LE16<kCreateTime>(entry), t)) {
      node->m_tCreated = t;
      if (FatTimeToUnix(LE16<kWriteDate>(entry), LE16<kWriteTime>(entry), t)) {
        node->m_tModified = t;
        // The entry keeps only the date of the last access.
        if (FatTimeToUnix(LE16<kAccessDate>(entry), 0, t)) node->m_tAccessed = t;
      }
    }
    if (deleted) node->m_nStatus = DeletedStatus(*volume, *node, first, node->m_nStatusReason);
    else node->m_nStatus = STATUS_EXISTING;
    node->m_bStatusEvaluated = true;
    AddChild(std::move(node));
  }
}

bool CFATDirectory::HasSubfolders(bool includeDeleted) {
  auto* volume = dynamic_cast<CFATDriver*>(m_pDriver);
  if (!volume) return false;
  if (this == volume->m_pLostFolder) return true;
  FatDirWalk walk(m_nFirstCluster, m_nFirstSector, 0, m_bDeleted);
  uint8_t e[kDirEntrySize];
  std::u16string name;
  while (volume->NextDirItem(walk, e, name, includeDeleted)) {
    if ((e[kAttributes] & (kAttrFolder | kAttrLabel)) != kAttrFolder || name == u"." || name == u"..") continue;
    if (e[kName] != kDeletedMark || volume->HasDotEntries(FirstCluster(e))) return true;
  }
  return false;
}

void CFATFile::DataUnits(std::vector<UnitRun>& runs) {
  runs.clear();
  auto* volume = dynamic_cast<CFATDriver*>(m_pDriver);
  const uint64_t bpc = volume ? volume->m_nBytesPerCluster : 0;
  if (!bpc || m_nSize == 0 || !volume->IsClusterNumber(m_nFirstCluster)) return;
  // As ReadFileData takes them: an existing file's chain, a deleted file's clusters in a row.
  uint64_t left = (m_nSize + bpc - 1) / bpc, c = m_nFirstCluster;
  while (left > 0 && volume->IsClusterNumber(c)) {
    if (!runs.empty() && runs.back().nUnit + runs.back().nCount == c) ++runs.back().nCount;
    else runs.push_back({c, 1});
    if (--left == 0) break;
    if (m_bDeleted) {
      ++c;
      continue;
    }
    const uint32_t next = volume->GetFatEntry(c, 0);
    if (volume->ClassifyFatValue(next) != FAT_IN_USE) break;
    c = next;
  }
}

bool CFATFile::WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t) {
  auto* volume = dynamic_cast<CFATDriver*>(m_pDriver);
  if (progress) {
    if (IsPageStopSignalled()) return false;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, 0);
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, static_cast<int64_t>(m_nSize));
  }
  constexpr uint32_t kChunk = 65536;
  std::vector<uint8_t> buffer(kChunk);
  uint64_t cluster = m_nFirstCluster, offset = 0, total = 0;
  for (;;) {
    if (progress && IsPageStopSignalled()) return false;
    uint32_t got = 0;
    // An existing file's chain is intact and is followed; a deleted file's clusters are
    // taken consecutively.
    // A sector that cannot be read is written as zeros and noted in out (the save reports
    // the file with its byte ranges); the end of the chain or a source that stopped
    // answering ends the file, and that is reported.
    bool ok = volume && volume->ReadFileData(buffer.data(), kChunk, m_nSize, cluster, offset, got, !m_bDeleted, &out);
    total += got;
    if (progress && IsPageStopSignalled()) return false;
    if (got && !out.Write(buffer.data(), got)) return false;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, static_cast<int64_t>(total));
    if (!ok) return false;
    if (got < kChunk - 1) break;
  }
  SendProgress(progress, WM_FILEDONE, 0, 0);
  return true;
}
