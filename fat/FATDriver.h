// FAT12/16/32 volumes.
//
// Format notes: the BIOS parameter block in sector 0 gives the geometry; the FAT width
// follows from the number of data clusters alone (fewer than 4085: FAT12, fewer than
// 65525: FAT16, else FAT32), never from the type text of the boot sector. Valid
// cluster numbers are 2 to m_nClusterCount + 1. Every quantity derived from the boot
// sector is computed with checked arithmetic: a boot sector whose counts are zero or
// whose overhead exceeds the volume makes the open fail.
#pragma once

#include <string>
#include <unordered_set>

#include "device/Driver.h"
#include "fat/FatDirEntry.h"
#include "fat/FATLayout.h"
#include "tree/DirEntry.h"

class CFATDirectory;
class CFATFile;

// Classes of an allocation-table value.
enum : int { FAT_IN_USE = 1, FAT_FREE = 2, FAT_RESERVED = 4, FAT_END_OF_CHAIN = 8 };

// The position of a walk over a folder's 32-byte entries: the current cluster (0 for the
// fixed FAT12/16 root region), the sector (used when the cluster is 0) and the entry
// index within the cluster or sector. A walk also keeps the clusters it has entered, so a
// damaged table that links a chain back on itself ends the walk at the first repeat.
//
// bChainGone marks the walk of a deleted (or lost) folder: where the table holds no next
// cluster (the cluster is free), the walk goes on into the following cluster as long as
// CFATDriver::CheckFolderContinuation accepts it. Where the table still links a chain, the
// chain is followed as for any folder.
struct FatDirWalk {
  uint64_t nCluster = 0;
  uint64_t nSector = 0;
  uint32_t nIndex = 0;
  bool bChainGone = false;
  std::unordered_set<uint64_t> entered;
  FatDirWalk() = default;
  FatDirWalk(uint64_t cluster, uint64_t sector, uint32_t index = 0, bool chainGone = false)
      : nCluster(cluster), nSector(sector), nIndex(index), bChainGone(chainGone) {
    if (cluster) entered.insert(cluster);
  }
};

// Why a walk whose chain is gone does, or does not, go on into the next cluster.
enum class FatContinuation {
  Ok,
  OutOfVolume,  // past the last cluster
  AtLimit,      // the folder would exceed kMaxFolderEntries entries
  Allocated,    // the table gives the cluster to something (or marks it bad)
  Unreadable,   // a sector of it cannot be read
  BadEntry,     // an entry that a folder's later cluster cannot hold (FatEntryCheck says why)
};

// The geometry a FAT boot sector describes.
struct FatGeometry {
  uint32_t nBytesPerSector = 0;
  uint32_t nSectorsPerCluster = 0;
  uint32_t nReservedSectors = 0;
  uint32_t nNumberOfFats = 0;
  uint32_t nRootEntryCount = 0;
  uint32_t nRootDirSectors = 0;   // sectors of the fixed root region
  uint32_t nSectorsPerFat = 0;
  uint32_t nTotalSectors = 0;
  uint32_t nRootClusterField = 0;
  uint64_t nClusterCount = 0;
  uint64_t nFirstDataSector = 0;
  int32_t nFileSystem = -1;       // FS_FAT12, FS_FAT16 or FS_FAT32
};

enum class FatBootCheck { Ok, NoSignature, ClusterTooLarge, ZeroGeometry, OverheadExceedsVolume };

// Whether 512 bytes are a FAT boot sector the volume accepts: the 0xAA55 signature and
// a cluster of at most 32,768 bytes.
FatBootCheck CheckFatBootSector(FatBootBytes boot);
// Derives the geometry; false (with the reason) when the counts cannot form a volume.
FatBootCheck ParseFatGeometry(FatBootBytes boot, FatGeometry& g);

class CFATDriver : public CLogicalDriver {
 public:
  CFATDriver();
  uint64_t ClusterToSector(uint64_t cluster) override;
  bool ReadGeometry() override;
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) override;
  // Builds the root folder and "LostFiles".
  void CreateRoot() override;
  std::unique_ptr<CFSFile> NewCarvedFile(uint64_t cluster) override;
  bool ResultStartUnit(const CDirEntry& node, uint64_t& unit) const override;
  // The lost-folder and carve step of the deep scan.
  bool ScanUnit(uint64_t cluster, CUnitBitmap* visited, IProgressWindow* progress) override;
  // With the ScanDir setting on: marks every cluster the live tree reaches.
  bool PrepareScan(uint64_t first, uint64_t last, CUnitBitmap* visited, IProgressWindow* progress) override;

  // --- the allocation table ---
  // The entry of cluster in FAT number copy (0 is the first); 0 outside 2..count+1.
  uint32_t GetFatEntry(uint64_t cluster, uint32_t copy);
  int ClassifyFatValue(uint32_t value) const;
  bool IsClusterNumber(uint64_t c) const { return c >= 2 && c <= m_nClusterCount + 1; }

  // --- folder walks ---
  // Copies the next 32-byte entry of the walk into entry and advances it. False at the
  // end of the chain, on a damaged chain, or when the sector cannot be read.
  bool NextDirEntry(FatDirWalk& walk, FatDirEntryBuffer entry);
  // The next item of a folder with its long name assembled; false at the end.
  bool NextDirItem(FatDirWalk& walk, FatDirEntryBuffer entry, std::u16string& name, bool includeDeleted);
  // taken (optional) receives the number of long-name entries the run took.
  bool AssembleLongName(FatDirWalk& walk, FatDirEntryBuffer entry, std::u16string& name, int* taken = nullptr);
  static std::u16string ShortNameText(FatDirEntryBytes entry);
  std::u16string MarkDeletedName(const std::u16string& name) const;
  // Whether cluster starts with a "." folder entry followed by a ".." folder entry.
  // Every file with a first cluster, from a walk of the folders on disk (fat/FatFirstUnits.cpp).
  void CollectFirstUnits(std::vector<FirstUnitItem>& items) override;
  // The same walk from one folder (its first cluster, or sector for a FAT12/16 root), paths
  // under prefix; deleted marks every item found (the folder's own state).
  void CollectFirstUnitsFrom(uint64_t cluster, uint64_t sector, const std::u16string& prefix, bool deleted,
                             std::vector<FirstUnitItem>& items);
  bool HasDotEntries(uint64_t cluster);
  // Whether a folder whose chain is gone, having clustersSoFar clusters, goes on into
  // cluster: it lies inside the volume, keeps the folder within kMaxFolderEntries, is free
  // in the table, and every entry up to its first end mark (or its end) passes
  // fatdir::CheckFolderEntry, which rules out another folder's "." and "..". For BadEntry,
  // why (optional) receives the first refused entry's reason. Reads only the cluster's
  // sectors up to the end mark; the folder-sector cache then holds the last of them.
  FatContinuation CheckFolderContinuation(uint64_t cluster, size_t clustersSoFar, fatdir::FatEntryCheck* why = nullptr);
  // Reads up to request bytes of a file of size bytes from consecutive clusters, at
  // offset, which it advances (cluster and offset are the caller's position).
  // With followChain the next cluster comes from the allocation table (an existing
  // file's chain is intact); otherwise clusters are taken consecutively (a deleted file's
  // chain is gone).
  // With unreadable, a sector that cannot be read is delivered as zeros and noted there
  // (its file offsets), and the read goes on; without, it ends the read (false). A
  // device that stopped answering always ends it.
  bool ReadFileData(uint8_t* buffer, uint32_t request, uint64_t size, uint64_t& cluster, uint64_t& offset,
                    uint32_t& got, bool followChain = false, class IOutputFile* unreadable = nullptr);
  // The first clusters of the folders that have a node in this volume's tree: a folder
  // cluster referenced a second time (a damaged or crafted tree) is not expanded again.
  std::unordered_set<uint64_t> m_listedFolderClusters;

  // --- the lost-folder search ---
  // Marks the clusters of the folder at cluster (or the fixed root region at sector) and of
  // everything below it inside [low, high]; chainGone walks it as a deleted folder.
  bool MarkFolderTree(uint64_t low, uint64_t high, CUnitBitmap* visited, uint64_t cluster, uint64_t sector,
                      IProgressWindow* progress, int depth = 0, bool chainGone = false);
  bool IsEmptyAfterDots(uint64_t cluster);
  bool ProbeRootCluster(uint64_t cluster);
  bool LongNameTest(uint64_t cluster);

  uint8_t m_nChainFat = 1;
  uint64_t m_nDirCacheSector = 0;
  uint64_t m_nFatCacheSector = 0;
  uint64_t m_nDataCacheSector = 0;
  bool m_bDataCacheValid = false;      // the data cache holds what its sector's read gave
  std::vector<uint8_t> m_pDirCache;    // one sector
  std::vector<uint8_t> m_pProbeSector; // one sector
  std::vector<uint8_t> m_pFatCache;    // two sectors
  std::vector<uint8_t> m_pDataCache;   // two sectors
  uint64_t m_nDataSectors = 0;  // total sectors minus the first data sector
  FatGeometry m_geometry;
  // Whether the lost-folder search creates folders (the ScanDir setting, or the command
  // line's --scan-dir); read when a scan starts. Set by whoever opens the volume.
  bool m_bScanDir = false;
  // Stands in for the lost first character of deleted names (the ReplaceChar setting).
  // Set by whoever opens the volume; read as folders load.
  char16_t m_chReplaceChar = u'_';

 private:
  bool ReadDirSector(uint64_t sector);
};

// Decodes a FAT date and time word pair as local time; false when the conversion fails.
bool FatTimeToUnix(uint16_t date, uint16_t time, int64_t& t);
