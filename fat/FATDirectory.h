// FAT folders and files as tree nodes.
//
// A deleted FAT file has lost its allocation chain, so its contents are taken as the run
// of consecutive clusters from the first cluster its entry records, as many as its size
// needs; existing files are read the same way. The recovery status estimates the risk
// from the first cluster alone.
#pragma once

#include "fat/FATDriver.h"
#include "tree/DirEntry.h"

class CFATDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool includeDeleted) override;
  // Lists the folder's entries: every folder (deleted ones only while their first
  // cluster still starts with "." and ".."), and the files the arguments ask for. A
  // folder entry that leads back to this folder or one of its ancestors is left out, so
  // no walk of the tree can loop. "LostFiles" hands over to the deep scan (without
  // force) or is only marked loaded (with force).
  void LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) override;

  uint64_t m_nFirstCluster = 0;
  uint64_t m_nFirstSector = 0;
};

class CFATFile : public CFSFile {
 public:
  // Writes m_nSize bytes read from consecutive clusters from m_nFirstCluster. False
  // when stopped, when a write fails, or when a sector cannot be read or the file runs
  // past the last cluster (what was read before stays written).
  bool WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t reserved) override;
  void DataUnits(std::vector<UnitRun>& runs) override;

  uint64_t m_nFirstCluster = 0;
};
