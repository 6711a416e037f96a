// The index of where the volume's files begin, for naming carved files: every folder of the
// tree is read from the disk (not through the tree's nodes, which another thread may be
// showing), deleted folders too while their "." and ".." entries stand.
#include <unordered_set>

#include "fat/FATDriver.h"
#include "fat/FatDirEntry.h"
#include "fat/FATLayout.h"
#include "tree/DirEntry.h"

using namespace fatlayout;
using namespace fatdir;

void CFATDriver::CollectFirstUnits(std::vector<FirstUnitItem>& items) {
  CollectFirstUnitsFrom(m_nRootCluster, m_nRootSector, u"", false, items);
}

void CFATDriver::CollectFirstUnitsFrom(uint64_t cluster, uint64_t sector, const std::u16string& prefix, bool deleted,
                                       std::vector<FirstUnitItem>& items) {
  struct Folder {
    uint64_t nCluster, nSector;
    std::u16string strPath;
    bool bDeleted;
    int nDepth;
  };
  std::vector<Folder> pending{{cluster, sector, prefix, deleted, 0}};
  // A folder cluster is read once: shared or looping folders cannot multiply the walk.
  std::unordered_set<uint64_t> seen;
  uint8_t e[kDirEntrySize];
  const FatDirEntryBytes entry(e);
  std::u16string name;
  while (!pending.empty()) {
    Folder folder = std::move(pending.back());
    pending.pop_back();
    FatDirWalk walk(folder.nCluster, folder.nSector, 0, folder.bDeleted);
    while (NextDirItem(walk, e, name, true)) {
      const bool deleted = folder.bDeleted || e[kName] == kDeletedMark;
      const uint64_t first = FirstCluster(entry);
      const uint8_t kind = e[kAttributes] & (kAttrFolder | kAttrLabel);
      if (name == u"." || name == u".." || !IsClusterNumber(first)) continue;
      std::u16string path = folder.strPath.empty() ? name : folder.strPath + u"/" + name;
      if (kind == kAttrFolder) {
        if (folder.nDepth + 1 < kMaxFolderDepth && seen.insert(first).second && (!deleted || HasDotEntries(first)))
          pending.push_back({first, 0, std::move(path), deleted, folder.nDepth + 1});
      } else if (kind == 0 && LE32<kSize>(entry) > 0) {
        items.push_back({first, std::move(path), deleted});
      }
    }
  }
}
