// exFAT folders and files as tree nodes.
//
// A file's data is its data length: the valid data length of it is read from its clusters
// and the rest reads as zeros, as the file system gives it back. Where the clusters come
// from is CExFATDriver::PlanData's choice (one run, the FAT chain, or in a row for a deleted
// file whose chain is gone).
#pragma once

#include "exfat/ExFATDriver.h"
#include "tree/DirEntry.h"

class CExFATDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool includeDeleted) override;
  // Lists the folder's entry sets: every folder (a deleted one whose first cluster is in
  // use again is listed but not entered), and the files the arguments ask for. A folder
  // that leads back to this one or one above it, or whose cluster another folder of the
  // volume already has, is left out. "LostFiles" hands over to the deep scan (without
  // force) or is only marked loaded (with force).
  void LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) override;

  ExFatFolderPlace m_place;
  bool m_bEnterable = true;  // false: the folder's clusters belong to something else now
};

class CExFATFile : public CFSFile {
 public:
  // Writes m_nSize bytes: the valid data length from the file's clusters, then zeros.
  // False when stopped, when a write fails, when a sector cannot be read, or when the
  // clusters do not cover m_nSize (what they hold is written, nothing past them).
  bool WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t reserved) override;
  void DataUnits(std::vector<UnitRun>& runs) override;

  uint64_t m_nFirstCluster = 0;
  uint64_t m_nValidLength = 0;  // bytes of m_nSize that hold data
  bool m_bNoFatChain = true;    // a carved file's clusters are consecutive
  bool m_bCarved = false;       // found by the deep scan: all of m_nSize is data
  ExFatDataPlan m_plan = ExFatDataPlan::Contiguous;  // as the listing worked it out
};
