// Listing an exFAT folder as tree nodes, and writing an exFAT file out.
//
// Format notes: the items come from the volume's walk of entry sets (exfat/ExFatDirWalk.cpp).
// The root's bitmap, up-case and label entries are not items. Decisions:
// - A set of a deleted folder's entries, or a deleted set, is a deleted item; its name is
//   whole (exFAT keeps every character).
// - Times: creation and modification with their 10 ms part (whole seconds of it) and
//   their UTC offsets; access without a 10 ms part. A time that does not exist stays unset.
// - The status of a deleted item: its set checksum must hold (a set that fails it may mix
//   the entries of two files), then its clusters in the allocation bitmap: the first
//   cluster in use again is poor; so is any later one the data needs. A file whose chain is
//   gone and that is read in a row is at most good, and its reason says so; otherwise the
//   header check of its type decides, as on FAT.
#include "exfat/ExFATDirectory.h"

#include <algorithm>

#include "tasks/FrontEnd.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tree/OutputFile.h"

using namespace exfatdir;

namespace {
// Whether cluster is the first cluster of this folder or of a folder above it.
bool OnPath(const CExFATDirectory* folder, uint64_t cluster) {
  for (const CDirectory* d = folder; d; d = d->m_pParent) {
    auto* xd = dynamic_cast<const CExFATDirectory*>(d);
    if (xd && xd->m_place.nFirstCluster == cluster) return true;
  }
  return false;
}

int Depth(const CDirEntry* n) {
  int depth = 0;
  for (; n && n->m_pParent; n = n->m_pParent) ++depth;
  return depth;
}

// Clusters after the first that a deleted file's status looks at: a bounded cost for
// files of any size.
constexpr uint64_t kMaxClustersChecked = 1 << 20;

uint32_t DeletedStatus(CExFATDriver& volume, const CDirEntry& node, const ExFatEntrySet& set, ExFatDataPlan& plan,
                       StatusReason& reason) {
  plan = ExFatDataPlan::Empty;
  if (!set.bChecksumOk) {
    reason = StatusReason::SetChecksumMismatch;
    return STATUS_POOR;
  }
  if (!node.IsDirectory() && set.nDataLength == 0) {
    reason = StatusReason::EmptyFile;
    return STATUS_EXCELLENT;
  }
  const uint64_t first = set.nFirstCluster;
  if (first < 2) {
    reason = StatusReason::NoFirstCluster;
    return STATUS_POOR;
  }
  if (!volume.IsClusterNumber(first)) {
    reason = StatusReason::PastVolumeEnd;
    return STATUS_POOR;
  }
  if (volume.IsClusterAllocated(first)) {
    reason = StatusReason::FirstClusterInUse;
    return STATUS_POOR;
  }
  std::vector<ExFatRun> runs;
  plan = volume.PlanData(first, set.nDataLength, set.NoFatChain(), true, runs);
  if (plan == ExFatDataPlan::Broken) {
    reason = StatusReason::PastVolumeEnd;
    return STATUS_POOR;
  }
  uint64_t checked = 0;
  for (const ExFatRun& run : runs) {
    for (uint64_t k = 0; k < run.nCount && checked < kMaxClustersChecked; ++k, ++checked) {
      if (volume.IsClusterAllocated(run.nFirst + k)) {
        reason = plan == ExFatDataPlan::ChainGone ? StatusReason::ClusterInUse : StatusReason::LaterClusterInUse;
        return STATUS_POOR;
      }
    }
  }
  if (node.IsDirectory()) {
    reason = StatusReason::DeletedFolder;
    return STATUS_GOOD;
  }
  const uint32_t status = volume.CheckFileHeader(first, &node, &reason);
  if (plan == ExFatDataPlan::ChainGone && status != STATUS_POOR) {
    reason = StatusReason::ChainGoneReadInRow;
    return STATUS_GOOD;
  }
  return status;
}

void SetTimes(CDirEntry& node, const ExFatEntrySet& set) {
  int64_t t;
  if (ExFatTimeToUnix(set.nCreateTime, set.nCreate10ms, set.nCreateUtcOffset, t)) node.m_tCreated = t;
  if (ExFatTimeToUnix(set.nModifyTime, set.nModify10ms, set.nModifyUtcOffset, t)) node.m_tModified = t;
  if (ExFatTimeToUnix(set.nAccessTime, 0, set.nAccessUtcOffset, t)) node.m_tAccessed = t;
}
}  // namespace

void CExFATDirectory::LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) {
  auto* volume = dynamic_cast<CExFATDriver*>(m_pDriver);
  if (!volume) return;
  if (this == volume->m_pLostFolder) {
    // "LostFiles": nothing on disk to list; it is filled by the deep scan.
    if (!force) FrontEndHooks().RunDeepScan(this);
    else m_bLoaded = true;
    return;
  }
  m_bLoaded = true;
  if (!m_bEnterable) return;
  const bool deepEnough = Depth(this) >= kMaxFolderDepth;
  ExFatDirWalk walk(m_place);
  uint8_t e[kEntrySize];
  ExFatItemKind kind;
  ExFatEntrySet set;
  const uint64_t bpc = volume->m_nBytesPerCluster;
  while (volume->NextDirItem(walk, includeDeleted, kind, set, e)) {
    if (kind != ExFatItemKind::FileSet) continue;
    const bool deleted = set.bDeleted || m_bDeleted;
    std::unique_ptr<CDirEntry> node;
    if (set.IsFolder()) {
      const uint64_t first = set.nFirstCluster;
      if (deepEnough || !volume->IsClusterNumber(first) || OnPath(this, first)) continue;
      // A folder cluster belongs to one folder; a second reference to it would multiply
      // the tree without end.
      if (!volume->m_listedFolderClusters.insert(first).second) continue;
      auto dir = std::make_unique<CExFATDirectory>();
      // A set still in use inside a deleted folder is read as deleted: its chain may be gone.
      ExFatEntrySet judged = set;
      judged.bDeleted = deleted;
      dir->m_place = volume->FolderPlaceOf(judged);
      node = std::move(dir);
    } else {
      if (includeDeleted && deletedFilesOnly && !deleted) continue;
      auto file = std::make_unique<CExFATFile>();
      file->m_nFirstCluster = set.nFirstCluster;
      file->m_nSize = set.nDataLength;
      file->m_nValidLength = set.ValidBytes();
      file->m_bNoFatChain = set.NoFatChain();
      file->m_nAllocatedSize = bpc ? ((set.nDataLength - 1) / bpc + 1) * bpc : 0;
      if (set.nDataLength == 0) file->m_nAllocatedSize = 0;
      node = std::move(file);
    }
    node->m_pDriver = volume;
    node->m_strName = set.strName;
    if (!node->IsDirectory()) node->m_strExtension = ExtensionOf(set.strName);
    node->m_dwAttributes = set.nAttributes;
    node->m_bDeleted = deleted;
    SetTimes(*node, set);
    if (deleted) {
      ExFatDataPlan plan = ExFatDataPlan::Empty;
      // Inside a deleted folder a set still in use is judged as deleted too.
      ExFatEntrySet judged = set;
      judged.bDeleted = true;
      node->m_nStatus = DeletedStatus(*volume, *node, judged, plan, node->m_nStatusReason);
      if (auto* file = dynamic_cast<CExFATFile*>(node.get())) file->m_plan = plan;
      // A folder whose first cluster belongs to something else now is listed, not entered.
      if (auto* dir = dynamic_cast<CExFATDirectory*>(node.get()))
        dir->m_bEnterable = node->m_nStatusReason != StatusReason::FirstClusterInUse &&
                            node->m_nStatusReason != StatusReason::SetChecksumMismatch;
    } else {
      node->m_nStatus = STATUS_EXISTING;
    }
    node->m_bStatusEvaluated = true;
    AddChild(std::move(node));
  }
}

bool CExFATDirectory::HasSubfolders(bool includeDeleted) {
  auto* volume = dynamic_cast<CExFATDriver*>(m_pDriver);
  if (!volume) return false;
  if (this == volume->m_pLostFolder) return true;
  if (!m_bEnterable) return false;
  ExFatDirWalk walk(m_place);
  uint8_t e[kEntrySize];
  ExFatItemKind kind;
  ExFatEntrySet set;
  while (volume->NextDirItem(walk, includeDeleted, kind, set, e))
    if (kind == ExFatItemKind::FileSet && set.IsFolder()) return true;
  return false;
}

void CExFATFile::DataUnits(std::vector<UnitRun>& runs) {
  runs.clear();
  auto* volume = dynamic_cast<CExFATDriver*>(m_pDriver);
  if (!volume) return;
  std::vector<ExFatRun> planned;
  volume->PlanData(m_nFirstCluster, m_nSize, m_bNoFatChain, m_bDeleted, planned);
  for (const ExFatRun& r : planned) runs.push_back({r.nFirst, r.nCount});
  // Only the valid data length is read; the rest of the size is zeros.
  TrimRuns(runs, m_bCarved ? m_nSize : std::min(m_nValidLength, m_nSize), volume->m_nBytesPerCluster);
}

bool CExFATFile::WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t) {
  auto* volume = dynamic_cast<CExFATDriver*>(m_pDriver);
  if (progress) {
    if (IsPageStopSignalled()) return false;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, 0);
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, static_cast<int64_t>(m_nSize));
  }
  if (!volume) return false;
  // A carved file has no valid data length of its own: all of its size is data.
  const uint64_t valid = m_bCarved ? m_nSize : std::min(m_nValidLength, m_nSize);
  // The clusters must hold the whole size, the zeros after the valid data length included:
  // a size that its clusters do not cover (a damaged or crafted entry, a chain that ends
  // early) is written as far as they go and reported as incomplete, never filled out.
  std::vector<ExFatRun> runs;
  const ExFatDataPlan plan = volume->PlanData(m_nFirstCluster, m_nSize, m_bNoFatChain, m_bDeleted, runs);
  uint64_t covered = 0;
  for (const ExFatRun& run : runs) covered += run.nCount * volume->m_nBytesPerCluster;
  const bool ok = plan != ExFatDataPlan::Broken;
  const uint64_t end = ok ? m_nSize : std::min(m_nSize, covered);
  constexpr uint64_t kChunk = 1 << 20;
  std::vector<uint8_t> buffer(std::min<uint64_t>(kChunk, std::max<uint64_t>(end, 1)));
  uint64_t offset = 0;
  while (offset < end) {
    if (progress && IsPageStopSignalled()) return false;
    const uint64_t piece = std::min<uint64_t>(buffer.size(), end - offset);
    // The valid part from the clusters, the rest zeros.
    const uint64_t fromDisk = offset < valid ? std::min(piece, valid - offset) : 0;
    if (fromDisk && !volume->ReadRuns(runs, offset, buffer.data(), fromDisk)) return false;
    std::fill(buffer.begin() + fromDisk, buffer.begin() + piece, 0);
    if (!out.Write(buffer.data(), piece)) return false;
    offset += piece;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, static_cast<int64_t>(offset));
  }
  if (!ok) return false;
  SendProgress(progress, WM_FILEDONE, 0, 0);
  return true;
}
