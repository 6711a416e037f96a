// exFAT volumes.
//
// Format notes: the main boot sector gives the geometry as shifts (sector 512 to 4096
// bytes, cluster up to 32 MiB); sector 11 of the boot region holds its checksum, and a
// backup region follows at sector 12 (used when the main one fails its checksum).
// Cluster numbers are 2 to m_nClusterCount + 1. Which clusters are in use is kept in the
// allocation bitmap (a file whose entry the root folder holds), not in the FAT: the FAT
// only links the clusters of data that does not lie in one run, and a file whose stream
// says "no FAT chain" has FAT entries that mean nothing. Deleting a file leaves its entry
// set (in-use bits cleared) and frees its clusters in the bitmap; its FAT chain is usually
// cleared too, so a deleted file that used one is read as consecutive clusters (a chain
// that is still whole is followed).
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "device/Driver.h"
#include "exfat/ExFatEntrySet.h"
#include "exfat/ExFATLayout.h"
#include "tree/DirEntry.h"

// Where a folder's entries lie and how its clusters follow one another.
struct ExFatFolderPlace {
  enum class Chain : uint8_t {
    Fat,         // along the FAT (the root, folders whose stream uses the FAT)
    Contiguous,  // consecutive clusters (no FAT chain, or a deleted folder whose chain is gone)
    Lost,        // a folder the deep scan found: the FAT where it links on, else the next
                 // cluster while that reads as part of a folder
  };
  uint64_t nFirstCluster = 0;
  uint64_t nLength = 0;  // bytes; 0: as far as the chain goes (bounded by kMaxFolderBytes)
  Chain chain = Chain::Fat;
};

// A walk over a folder's 32-byte entries.
struct ExFatDirWalk {
  ExFatFolderPlace place;
  uint64_t nCluster = 0;
  uint64_t nIndex = 0;      // entry within the cluster
  uint64_t nRead = 0;       // entries handed out
  std::unordered_set<uint64_t> entered;
  bool bHeld = false;       // an entry read ahead and given back
  uint8_t held[exfatdir::kEntrySize] = {};
  explicit ExFatDirWalk(const ExFatFolderPlace& p) : place(p), nCluster(p.nFirstCluster) { entered.insert(nCluster); }
};

// What NextDirItem hands out.
enum class ExFatItemKind { FileSet, Bitmap, Upcase, Label };

// A run of consecutive clusters of a file.
struct ExFatRun {
  uint64_t nFirst = 0;
  uint64_t nCount = 0;
};

// How a file's clusters were worked out.
enum class ExFatDataPlan {
  Empty,          // no data
  Contiguous,     // its stream says the data lies in one run
  FatChain,       // along the FAT
  ChainGone,      // its stream used the FAT, but the (deleted) file's chain is gone: read in a row
  Broken,         // the chain ends early, loops or leaves the volume: what it gives is incomplete
};

class CExFATDriver : public CLogicalDriver {
 public:
  CExFATDriver();
  uint64_t ClusterToSector(uint64_t cluster) override;
  bool ReadGeometry() override;
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) override;
  void CreateRoot() override;
  std::unique_ptr<CFSFile> NewCarvedFile(uint64_t cluster) override;
  bool ResultStartUnit(const CDirEntry& node, uint64_t& unit) const override;
  bool ScanUnit(uint64_t cluster, CUnitBitmap* visited, IProgressWindow* progress) override;
  bool PrepareScan(uint64_t first, uint64_t last, CUnitBitmap* visited, IProgressWindow* progress) override;
  void CollectFirstUnits(std::vector<FirstUnitItem>& items) override;
  // The same walk from one folder, paths under prefix; deleted marks every item found.
  void CollectFirstUnitsFrom(const ExFatFolderPlace& start, const std::u16string& prefix, bool deleted,
                             std::vector<FirstUnitItem>& items);

  bool IsClusterNumber(uint64_t c) const { return c >= 2 && c <= m_nClusterCount + 1; }
  // The FAT entry of cluster (first FAT); 0 outside 2..count+1 or when unreadable.
  uint32_t GetFatEntry(uint64_t cluster);
  // Whether the allocation bitmap marks cluster in use; clusters outside the volume are.
  // A volume whose bitmap could not be read answers false (nothing known to be in use).
  bool IsClusterAllocated(uint64_t cluster);
  bool BitmapLoaded() const { return m_bBitmapValid; }

  // --- folder walks ---
  // The next 32-byte entry; false at the end of the folder's clusters or bytes, on a
  // damaged chain or an unreadable sector.
  bool NextDirEntry(ExFatDirWalk& walk, std::span<uint8_t, exfatdir::kEntrySize> entry);
  // The next item of a folder: a file set (deleted ones only with includeDeleted), or one
  // of the root's bitmap, up-case and label entries (entry then holds it). Orphaned
  // secondaries, unknown benign entries and sets that do not parse are passed over. False
  // at the end mark or the end of the folder.
  bool NextDirItem(ExFatDirWalk& walk, bool includeDeleted, ExFatItemKind& kind, ExFatEntrySet& set,
                   std::span<uint8_t, exfatdir::kEntrySize> entry);
  // Where the folder of a set lies; deleted folders whose chain is gone are read in a row.
  ExFatFolderPlace FolderPlaceOf(const ExFatEntrySet& set);
  // The root folder's place.
  ExFatFolderPlace RootPlace() const { return {m_nRootCluster, 0, ExFatFolderPlace::Chain::Fat}; }

  // --- file data ---
  // Works out the clusters holding a set's data (at most the clusters its data length
  // needs). A deleted file whose stream used the FAT follows the chain only while that is
  // whole (each link a free cluster, the end right where the length ends); otherwise its
  // clusters are taken in a row (ChainGone).
  ExFatDataPlan PlanData(uint64_t firstCluster, uint64_t dataLength, bool noFatChain, bool deleted,
                         std::vector<ExFatRun>& runs);
  // Reads length bytes at byte offset of the runs' data into buffer. False when a sector
  // cannot be read or the runs do not cover it.
  bool ReadRuns(const std::vector<ExFatRun>& runs, uint64_t offset, uint8_t* buffer, uint64_t length);

  // --- the lost-folder search ---
  // Whether a cluster begins with an entry set whose checksum holds (a folder's cluster),
  // and whether it begins as a root folder does (label, bitmap, up-case entries).
  bool IsFolderStartCluster(uint64_t cluster, bool* asRoot = nullptr);
  // Whether cluster may continue a lost folder: inside the volume, every entry of a known
  // kind, nothing but the end mark's zeros after an end mark.
  bool IsFolderContinuation(uint64_t cluster);
  // Marks the clusters of the folder at place and of everything below it; false when stopped.
  bool MarkFolderTree(CUnitBitmap* visited, const ExFatFolderPlace& place, IProgressWindow* progress, int depth,
                      bool deleted);

  // The first clusters of the folders that have a node in this volume's tree (a cluster
  // referenced a second time is not expanded again).
  std::unordered_set<uint64_t> m_listedFolderClusters;
  ExFatGeometry m_geometry;
  // What the root keeps beside its files, read once with the bitmap: the label entry, and
  // where the bitmap and the up-case table lie.
  std::u16string m_strLabel;
  uint64_t m_nBitmapCluster = 0, m_nBitmapLength = 0;
  uint64_t m_nUpcaseCluster = 0, m_nUpcaseLength = 0;
  bool m_bUsedBackupBoot = false;  // the main boot region failed its checksum
  // Whether the lost-folder search creates folders (the ScanDir setting or --scan-dir).
  bool m_bScanDir = false;

 private:
  bool ReadDirSector(uint64_t sector);
  void LoadRootMetadata();
  std::vector<uint8_t> m_pDirCache;
  uint64_t m_nDirCacheSector = UINT64_MAX;
  std::vector<uint8_t> m_pFatCache;
  uint64_t m_nFatCacheSector = UINT64_MAX;
  std::vector<uint8_t> m_bitmap;
  bool m_bBitmapValid = false;
  bool m_bMetadataLoaded = false;
};
