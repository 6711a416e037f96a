// NTFS volumes.
//
// Format notes: the boot sector names the sector and cluster size, the volume's sector
// count, the MFT's first cluster and the size of one MFT record (offset 0x40: below
// 0x80 a count of clusters, otherwise a power of two in bytes, 0xF6 giving 1024).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "device/Driver.h"
#include "ntfs/MftRecord.h"
#include "ntfs/NtfsStream.h"
#include "ntfs/RunList.h"

class CNTFSFile;

struct NtfsGeometry {
  uint32_t nBytesPerSector = 0;
  uint32_t nSectorsPerCluster = 0;
  uint64_t nTotalSectors = 0;
  uint64_t nMftCluster = 0;
  uint32_t nRecordSize = 0;
};

enum class NtfsBootCheck { Ok, NoSignature, NotNtfs, BadSectorSize, BadClusterSize, BadRecordSize };

// Recognition: "NTFS    " at offset 3 followed by a zero byte, 512 or 1024 bytes per
// sector, 1 to 128 sectors per cluster (a power of two; 0xF4 and above mean 2^(256 - v)
// sectors, for clusters above 64 KiB) and the 0xAA55 signature; also a
// record size from 256 bytes to 64 KiB, so that a record can be read at all.
NtfsBootCheck ParseNtfsBootSector(std::span<const uint8_t, 512> boot, NtfsGeometry& g);

class CNTFSDriver : public CLogicalDriver {
 public:
  CNTFSDriver();
  ~CNTFSDriver() override;  // unmaps the MFT's blocks (ntfs/MftImage.cpp)
  uint64_t ClusterToSector(uint64_t cluster) override;
  bool ReadGeometry() override;
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) override;
  // Builds the root (record 5), "LostFiles" and "DeletedFiles".
  void CreateRoot() override;
  std::unique_ptr<CFSFile> NewCarvedFile(uint64_t cluster) override;
  bool ResultStartUnit(const CDirEntry& node, uint64_t& unit) const override;
  // Every file whose data begins in a cluster, from the MFT (read first when it is not
  // yet). (ntfs/NtfsFirstUnits.cpp)
  void CollectFirstUnits(std::vector<FirstUnitItem>& items) override;
  // The deep scan's placement of a carved file in "LostFiles".
  bool ScanUnit(uint64_t cluster, CUnitBitmap* visited, IProgressWindow* progress) override;
  // The status of a listed item and its reason: Existing; Good for a deleted folder; for a
  // deleted file Poor on evidence (its runs cannot be gathered or do not map all of it, it
  // is encrypted, its first cluster is in use again, the header check fails), otherwise
  // the first cluster's header check (compressed and resident data are Good unchecked).
  uint32_t EvaluateDeletedStatus(bool deleted, CNTFSFile* file, StatusReason& reason);
  // Whether the volume's $Bitmap marks cluster lcn allocated; false when it cannot tell.
  bool ClusterInUse(uint64_t lcn, bool& inUse);

  // Reads len bytes at byte offset of a non-resident stream (sparse runs read as zeros);
  // false when a cluster cannot be read or a VCN is not mapped. (ntfs/NtfsStream.cpp)
  bool ReadStreamBytes(const std::vector<NtfsRun>& runs, uint64_t offset, uint8_t* out, size_t len);
  // The attribute of record n of the type and name (empty: unnamed) gathered across its
  // attribute list. False when absent. (ntfs/NtfsStream.cpp)
  bool LoadStream(uint64_t record, uint32_t type, NtfsStream& stream, std::u16string_view name = {});
  // The named $DATA streams of record n (ntfs/NtfsStream.h); none before the MFT is loaded.
  std::vector<NtfsNamedStream> NamedStreams(uint64_t record);

  // The MFT image (ntfs/MftImage.cpp, as are the private functions below).
  // Reads record n (fixed up and checked) into buffer (m_nRecordSize bytes).
  bool ReadRecord(uint64_t n, uint8_t* buffer);
  // Reads count clusters from lcn.
  bool ReadClusterRange(uint64_t lcn, uint64_t count, uint8_t* buffer);
  // Reads the whole MFT once, through a buffer of its own, checking each record and
  // indexing it by parent folder as soon as it is read (while it is still in the
  // processor's cache). With a progress window: WM_SCANPROGRESS (2, clusters read) every
  // 32 chunks and the dialog runner's stop event between chunks. Sets m_bMftLoaded when
  // complete; a stopped or failed scan leaves no index.
  bool ScanMft(IProgressWindow* progress);
  // Runs the MFT read through the front end's hooks (a dialog in the GUI, a progress line
  // in the command line), or ScanMft without progress.
  void EnsureMftLoaded();
  // Whether a folder record has a subfolder (in use or deleted) that is not a system file.
  bool HasChildFolder(uint64_t record);
  // The records whose chosen $FILE_NAME names parent, in record order (none before the
  // MFT is loaded).
  const std::vector<uint32_t>& ChildrenOf(uint64_t parent);
  // Record index of the loaded MFT, fixed up, when it begins "FILE" and passes the gate;
  // else null (also before the MFT is loaded). The records are read in blocks when first
  // asked for and kept for the volume's life, so the pointer stays valid as long as the
  // volume; any thread may ask.
  const uint8_t* ImageRecord(uint64_t index);
  // The record a name belongs to: a file whose attributes outgrew its record keeps its
  // $FILE_NAME in an extension record, which names the base record; the base record holds
  // the flags (in use, folder) and is the file's number. index itself otherwise.
  uint64_t OwnerOf(uint64_t index);

  uint32_t m_nRecordSize = 0;
  NtfsGeometry m_geometry;
  std::vector<uint8_t> m_pMftRecord;   // record 0, fixed up
  std::vector<uint8_t> m_pRecordBuffer;
  std::vector<NtfsRun> m_mftRuns;      // the MFT's $DATA, every extent
  uint64_t m_nMftBytes = 0;
  uint64_t m_nRecordCount = 0;
  bool m_bMftLoaded = false;
  CDirectory* m_pDeletedFolder = nullptr;
  // When set, folders loaded from then on leave the status of their deleted files (the
  // header check of the first cluster) to be worked out when it is first asked for
  // (GetStatusText); for callers that never show a status nor sort by it, such as a save
  // from the command line. Off by default: the lists sort by m_nStatus directly.
  bool m_bStatusOnDemand = false;

 private:
  bool PrepareMft();
  // An attribute list's entries, read whole (at most 1 MiB); false when it cannot be read.
  bool ReadAttributeList(const AttributeView& list, std::vector<uint8_t>& entries);
  // Reads length bytes of the MFT from byte offset (both whole clusters) into out; sparse
  // clusters, and clusters that cannot be read (each tried on its own), are zeros. False
  // when the runs do not map the range.
  bool ReadMftBytes(uint64_t offset, uint64_t length, uint8_t* out);
  // Fixes up and checks the record at r; when it is valid adds it (number index) to the
  // index of its parent folder.
  void AdmitRecord(uint8_t* r, uint64_t index, std::vector<uint32_t>*& lastList, uint64_t& lastParent);
  // The records of block b, read and fixed up on first use; their bits in m_validBits tell
  // which passed the gate.
  const uint8_t* LoadBlock(uint64_t b);
  // A block is whole clusters and whole records, and large enough that reading it takes
  // one system call that bypasses the device's read-ahead window.
  uint64_t m_nBlockBytes = 0;
  uint64_t m_nRecordsPerBlock = 0;
  uint64_t m_nValidWordsPerBlock = 0;
  // Each block in memory of its own (unmapped with the volume), published here once read
  // and fixed up; loads take m_blockLock, lookups of a published block do not.
  std::unique_ptr<std::atomic<uint8_t*>[]> m_blocks;
  uint64_t m_nBlockCount = 0;
  std::vector<uint64_t> m_validBits;  // a block's words are written before it is published
  std::mutex m_blockLock;
  // Folder record -> the records whose chosen $FILE_NAME names it, in record order;
  // filled by ScanMft.
  std::unordered_map<uint64_t, std::vector<uint32_t>> m_children;
  // The cluster allocation bitmap ($Bitmap, record 6): its runs, loaded on first use, and
  // one window of it.
  static constexpr uint64_t kBitmapRecord = 6;
  bool m_bBitmapLoaded = false;
  std::vector<NtfsRun> m_bitmapRuns;
  std::vector<uint8_t> m_bitmapWindow;
  uint64_t m_nBitmapWindowStart = 0;
  std::mutex m_bitmapLock;
};

// NTFS times (100 ns ticks since 1601) as seconds since 1970, through local time as the
// listing converts them. False when the conversion fails; 0 for years before 1900.
bool NtfsTimeToUnix(uint64_t ticks, int64_t& t);
