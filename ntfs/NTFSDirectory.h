// NTFS folders and files as tree nodes.
//
// Folders are not read from the directory indexes: the whole MFT is read into memory
// once, and a folder's children are the records whose chosen $FILE_NAME names the
// folder's record as parent, in use or deleted. Deleted records whose parent is no longer
// a folder are gathered under "DeletedFiles", one "dir_N" per lost parent.
#pragma once

#include "ntfs/NTFSDriver.h"
#include "tree/DirEntry.h"

// The times kept with a node's $FILE_NAME, beside the $STANDARD_INFORMATION times the node
// shows (m_tCreated, m_tModified, m_tAccessed): as stored (100 ns ticks since 1601), turned
// into seconds only when asked for (NtfsTimeToUnix); 0 for a folder the program made.
struct NtfsNameTimes {
  uint64_t nCreatedTicks = 0, nModifiedTicks = 0, nAccessedTicks = 0;
};

class CNTFSDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool includeDeleted) override;
  // Lists the records naming this folder as parent (not those whose names begin '$' or
  // '.', nor records already on the path to this folder, so no walk can loop).
  void LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) override;

  uint64_t m_nRecord = 0;
  uint16_t m_nSequence = 0;  // the record's sequence number as listed
  NtfsNameTimes m_nameTimes;
  // A "dir_N" of "DeletedFiles": the deleted records that name m_nRecord as their parent
  // although that record cannot hold them (see IsOrphan).
  bool m_bOrphanGroup = false;

 private:
  // Adds the item record owner is listed as under the name fn (a folder or a file), and
  // one file item per named stream of the record.
  void AddRecordItems(CNTFSDriver& volume, uint64_t owner, const NtfsFileNameView& fn);
};

// Whether a deleted record's parent cannot hold it in the tree, so it is listed under
// "DeletedFiles": the parent record fails its checks, is no folder, has no name of its own
// to be reached by, or was reused for another file (its sequence number is not the one the
// reference names).
bool IsOrphan(CNTFSDriver& volume, const NtfsFileNameView& name);

class CNTFSFile : public CFSFile {
 public:
  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  std::u16string GetSizeText(bool detail) override;
  std::u16string GetAllocatedSizeText(bool detail) override;
  // Writes the file's data through the stream reader (ntfs/NtfsStream.h): a resident
  // value, or every extent of its $DATA in VCN order (sparse runs as zeros, compressed
  // units decompressed, zeros past the initialized size, nothing past what the runs map),
  // or for a carved file consecutive clusters. False when stopped, when the data is
  // missing, not all mapped or a cluster cannot be read (what was written stays), or when
  // a write fails.
  bool WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t reserved) override;
  void DataUnits(std::vector<UnitRun>& runs) override;
  // Replaces the listed sizes by those of the data attribute, once.
  void TakeDataSizes();
  // The status of a file whose folder left it to be asked for (see
  // CNTFSDriver::m_bStatusOnDemand).
  void EvaluateStatus() override;
  bool IsCarved() const;
  // Whether the file's data is encrypted (written as stored, not readable as such).
  bool IsEncrypted();

  bool m_bDataSizesTaken = false;
  uint64_t m_nRecord = 0;        // the MFT record (none for a carved file)
  uint16_t m_nSequence = 0;      // the record's sequence number as listed
  std::u16string m_strStream;    // a named (alternate) data stream's name; empty for the file's data
  uint64_t m_nFirstCluster = 0;  // a carved file's first cluster
  NtfsNameTimes m_nameTimes;
};
