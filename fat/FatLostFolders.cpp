// The lost-folder search of the deep scan, and the volume's carved files.
//
// Format notes: a folder whose entry is gone (deleted parent, quick re-format) still
// leaves its clusters behind, and the scan tells them from file data by their first
// entries:
// - A subfolder starts with the folder entries "." and ".." and holds at least one more
//   item.
// - A root folder has no dot entries. Its first 512 bytes must read as 16 plausible
//   entries (names without control or forbidden characters, first clusters inside the
//   volume, times and dates that exist, sizes that fit the data area; a first byte 0x05
//   stands for 0xE5), long-name entries among them. That alone accepts too much text and
//   too many tables, so the cluster's entries must also end with the first entry of a
//   long name whose ninth character, the whole UTF-16 word at byte 20, is the terminating
//   0 (a name of 13n + 8 characters, the rest of whose run and short entry would follow
//   in the next cluster).
//   Two such starts in a row refuse the cluster. The test counts 16 entries per sector,
//   so with sectors larger than 512 bytes it ends before the cluster does.
// - The probes take a long-name entry only with the attribute byte exactly 0x0F (the
//   folder walk looks at its low six bits).
// - A cluster taken for a folder is never carved. With lost-folder search off (ScanDir)
//   that is all; with it on, the folder is added and its tree marked, so its files are
//   not carved a second time, and the volume's own tree is marked before the scan. A
//   deleted file marks only its first cluster (its chain is gone), an existing one its
//   chain as far as the table links it. A deleted or lost folder marks every cluster its
//   walk reads, the ones it goes on into past a gone chain included (fat/FatDirWalk.cpp),
//   so the later clusters of a lost root folder are not found again as folders of their own.
// - The deep scan hands this volume the same cluster numbers it lists: a carved file or
//   a lost folder is known by its first cluster.
#include "fat/FATDriver.h"

#include <cstring>

#include "deepscan/ResultNodes.h"
#include "deepscan/VirtualDriver.h"
#include "fat/FATDirectory.h"
#include "fat/FatDirEntry.h"
#include "fat/FATLayout.h"
#include "tasks/StopEvents.h"

using namespace fatlayout;
using namespace fatdir;

namespace {
// The root-folder probe looks at the first 512 bytes of the cluster: 16 entries.
constexpr size_t kProbeBytes = 512;
constexpr size_t kProbeEntries = kProbeBytes / kDirEntrySize;
// Of the eleven name bytes, the first ten are checked.
constexpr size_t kProbedNameBytes = 10;
// A file's size is compared with the data area in sectors of this many bytes.
constexpr uint32_t kSizeUnit = 512;

// A long-name entry as the probes take one: attribute byte exactly 0x0F, cluster word 0.
bool IsStrictLongNamePart(FatDirEntryBytes e) { return e[kAttributes] == kAttrLongName && LE16<kLfnZero>(e) == 0; }
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

bool CFATDriver::PrepareScan(uint64_t first, uint64_t last, CUnitBitmap* visited, IProgressWindow* progress) {
  if (!m_bScanDir) return true;
  return MarkFolderTree(first, last, visited, m_nRootCluster, m_nRootSector, progress);
}

bool CFATDriver::MarkFolderTree(uint64_t low, uint64_t high, CUnitBitmap* visited, uint64_t c, uint64_t s,
                                IProgressWindow* progress, int depth, bool chainGone) {
  visited->Set(c);
  FatDirWalk w(c, s, 0, chainGone);
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
        MarkFolderTree(low, high, visited, f, 0, progress, depth + 1, chainGone || e[kName] == kDeletedMark);
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
  if (!IsClusterNumber(cluster) || m_nBytesPerSector < kProbeBytes) return false;
  if (!ReadDirSector(ClusterToSector(cluster))) return false;
  std::memcpy(m_pProbeSector.data(), m_pDirCache.data(), m_nBytesPerSector);
  const auto probe = std::span<const uint8_t>(m_pProbeSector).first<kProbeBytes>();
  bool inLongName = false;
  for (size_t i = 0; i < kProbeEntries; ++i) {
    const FatDirEntryBytes e(probe.subspan(i * kDirEntrySize, kDirEntrySize));
    if (i == 0 && e[kName] == kEndMark) return false;
    if (IsStrictLongNamePart(e) && ((e[kLfnSequence] & kLfnLast) || inLongName)) {
      inLongName = true;
      continue;
    }
    inLongName = false;
    const auto nameBytes = e.subspan<kName, kProbedNameBytes>();
    for (size_t k = 0; k < nameBytes.size(); ++k) {
      const uint8_t b = nameBytes[k];
      if (b < 0x20 && !(k == 0 && b == kE5Stand)) return false;
      if (ForbiddenInName(b)) return false;
    }
    uint64_t f = FirstCluster(e);
    if (e[kAttributes] & kAttrLabel) {
      if (f != 0) return false;
    } else if (!IsClusterNumber(f)) {
      return false;
    }
    if (e[kAttributes] & kAttrUnused) return false;
    if (LE32<kSize>(e) / kSizeUnit > m_nDataSectors) return false;
    if (!ValidTime(LE16<kWriteTime>(e)) || !ValidTime(LE16<kCreateTime>(e))) return false;
    if (!ValidDate(LE16<kWriteDate>(e)) || !ValidDate(LE16<kCreateDate>(e)) || !ValidDate(LE16<kAccessDate>(e)))
      return false;
  }
  return true;
}

bool CFATDriver::LongNameTest(uint64_t cluster) {
  FatDirWalk w(cluster, 0);
  uint8_t e[kDirEntrySize];
  bool r = false;
  const uint64_t limit = uint64_t(m_nSectorsPerCluster) * kProbeEntries;
  for (uint64_t i = 0; i < limit; ++i) {
    if (!NextDirEntry(w, e)) break;
    if (IsStrictLongNamePart(e) && (e[kLfnSequence] & kLfnLast)) {
      if (LE16<kLfnChar9>(FatDirEntryBytes(e)) == 0) {
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
    if (CDirectory* added = AddLostFolder(*this, std::move(dir), rootFolder)) {
      // Files carved from here on at the first cluster of one of its files take that name.
      std::vector<FirstUnitItem> items;
      CollectFirstUnitsFrom(i, 0, added->m_strName, true, items);
      AddFirstUnitItems(*this, std::move(items));
    }
    MarkFolderTree(m_nFirstUnit, m_nLastUnit, visited, i, 0, progress, 0, true);
    return false;
  }
  std::u16string extension;
  uint64_t length = 0;
  if (!IdentifyFile(i, extension, length)) return false;
  return AddCarvedFile(*this, i, extension, length, visited) != nullptr;
}
