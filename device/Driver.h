// Sector devices: the common base of every disk and volume.
//
// CDriver owns (or borrows) a raw device handle, knows its sector and cluster geometry,
// reads sectors at absolute positions and carries the display texts. CLogicalDriver is
// the base of every volume (FAT, NTFS, the virtual volume of a disk); CPhysicalDriver
// is a whole disk. Sector numbers, unit numbers and unit, cluster and sector counts are
// 64-bit throughout, so disks and volumes beyond 2^32 sectors are sized, scanned and
// read whole.
//
// Nothing here ever writes: the only operations on a handle are positioned reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/RawDevice.h"

class IProgressWindow;
class CDirEntry;
class CDirectory;
class CFSFile;
// Why a node has its status word (defined with the nodes, tree/DirEntry.h).
enum class StatusReason : uint8_t;

// The visited-unit bitmap of a unit scan. It covers the scanned range [first, last]
// only, so a scan near the end of a large disk costs no memory for the units before it;
// units outside the range read as visited and ignore Set.
class CUnitBitmap {
 public:
  // False when the bitmap cannot be allocated.
  bool Allocate(uint64_t first, uint64_t last);
  void Set(uint64_t n) {
    if (n >= m_nFirst && n <= m_nLast) m_bits[(n - m_nFirst) >> 3] |= uint8_t(1u << ((n - m_nFirst) & 7));
  }
  bool Test(uint64_t n) const {
    if (n < m_nFirst || n > m_nLast) return true;
    return (m_bits[(n - m_nFirst) >> 3] >> ((n - m_nFirst) & 7)) & 1u;
  }
  uint64_t First() const { return m_nFirst; }
  uint64_t Last() const { return m_nLast; }

 private:
  uint64_t m_nFirst = 1, m_nLast = 0;
  std::vector<uint8_t> m_bits;
};

// File-system kinds of m_nFileSystem.
enum : int32_t { FS_FAT12 = 0, FS_FAT16 = 1, FS_FAT32 = 2, FS_NTFS = 3, FS_VIRTUAL = 4, FS_EXFAT = 5 };
// Drive types.
enum : int32_t { DRIVE_UNKNOWN_TYPE = 0, DRIVE_REMOVABLE = 2, DRIVE_FIXED = 3 };

// Where a device's bytes come from: a block device or image file, optionally a byte
// range of it (a partition inside an image).
class CDriver;

// What a unit scan records as it goes, and puts back when a stopped scan is resumed
// (deepscan/ScanSession.h keeps it in a file).
class IScanJournal {
 public:
  virtual ~IScanJournal() = default;
  // Before the unit loop (after PrepareScan): puts back what an earlier run of the scan
  // found, marking the units it covered, and answers the unit to go on from and how many
  // finds were put back. False stops the scan.
  virtual bool Replay(CDriver& volume, CUnitBitmap& visited, IProgressWindow* progress, uint64_t& next,
                      uint64_t& found) = 0;
  // The step at unit ran (it may have added results, whatever it answered).
  virtual void Stepped(CDriver& volume, uint64_t unit) = 0;
  // Every unit before next has been scanned.
  virtual void Scanned(CDriver& volume, uint64_t next) = 0;
};

struct DeviceSource {
  std::string strPath;
  uint64_t nOffset = 0;
  uint64_t nLength = 0;  // 0: to the end
};

class CDriver {
 public:
  CDriver();
  virtual ~CDriver();
  CDriver(const CDriver&) = delete;
  CDriver& operator=(const CDriver&) = delete;

  // --- virtual operations ---
  // The first sector of a cluster; 0 here.
  virtual uint64_t ClusterToSector(uint64_t cluster);
  // One step of the unit scan; may set further bits of the visited bitmap for units it
  // has consumed. Answers whether it found something. False here.
  virtual bool ScanUnit(uint64_t unit, CUnitBitmap* visited, IProgressWindow* progress);
  // The first unit in [unit, lim] that may begin a file (the ones before it cannot); unit
  // here. A scan step passes over the others in one batch.
  virtual uint64_t SkipUnmatched(uint64_t unit, uint64_t lim) { return unit; }
  // Reads the device's sector size into m_nBytesPerSector. Fails without a handle or
  // with a sector size of 0.
  virtual bool ReadGeometry();
  // Builds the volume's top folders; nothing here.
  virtual void CreateRoot();
  // The last unit of [first, last] whose bytes the device holds (units past the device's
  // end cannot be read, whatever a boot sector claims); last here.
  virtual uint64_t LastUnitOnDevice(uint64_t first, uint64_t last) { return last; }
  // Runs before the unit loop of ScanUnits over [first, last], marking units that the
  // scan must skip. True here; false stops the scan.
  virtual bool PrepareScan(uint64_t first, uint64_t last, CUnitBitmap* visited, IProgressWindow* progress);

  // Reads bytesPerSector x count bytes at byte offset sector x bytesPerSector of the
  // handle. False on a failed read, an overflowing offset, or no handle.
  bool ReadRaw(uint64_t sector, uint8_t* buffer, uint32_t bytesPerSector, uint32_t count) {
    uint64_t offset;
    if (!m_hDevice || __builtin_mul_overflow(sector, uint64_t(bytesPerSector), &offset)) return false;
    return m_hDevice->Read(offset, buffer, size_t(bytesPerSector) * count);
  }

  // "%d MB" up to 1 GiB of units, "%.1f GB" above.
  std::u16string GetSizeText() const;
  // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT", "VIRTUAL FS" or "UNKNOWN FS".
  std::u16string GetFileSystemText() const;
  // Total bytes of the units (m_nClusterCount x m_nBytesPerCluster).
  uint64_t GetTotalBytes() const;

  bool SetNameAndType(int32_t driveType, const std::u16string& name);
  // Opens m_source read-only into m_hDevice.
  bool OpenDevice();

  // The generic unit scan over [m_nFirstUnit, m_nLastUnit]: calls ScanUnit for every
  // unit not yet marked in the visited bitmap. With a progress window it sends
  // WM_SCANPROGRESS (0 at start, 1 when units are being scanned, 2 with the unit every
  // 32 units and for the last two) and polls the dialog runner's stop event before and
  // after every unit; without one it runs silently to the end. False when stopped, when
  // the bitmap cannot be allocated, or when PrepareScan fails.
  // With a journal, the scan goes on where the journal's earlier run stopped, and tells it
  // what it finds and how far it got.
  bool ScanUnits(IProgressWindow* progress, uint64_t& found, IScanJournal* journal = nullptr);

  // --- fields ---
  bool m_bNT = true;
  int32_t m_nFileSystem = -1;
  int32_t m_nDriveType = DRIVE_FIXED;
  std::u16string m_szName;           // display name
  DeviceHandle m_hDevice;            // null until opened
  uint32_t m_nBytesPerCluster = 0;
  uint32_t m_nSectorsPerCluster = 0;
  uint32_t m_nBytesPerSector = 0;
  uint32_t m_nRootCluster = 0;
  uint64_t m_nFirstDataSector = 0;
  uint64_t m_nRootSector = 0;
  uint64_t m_nClusterCount = 0;      // units: data clusters, clusters, or sectors of a disk
  uint64_t m_nFirstUnit = 0;
  uint64_t m_nLastUnit = 0;
  uint32_t m_nStreamPos = 0;         // byte position in the unit held by the unit stream
  uint64_t m_nStreamUnit = 0;        // the unit held by the unit stream
  std::vector<uint8_t> m_pUnitBuffer;
  std::vector<uint8_t> m_pUnitBuffer2;
  bool m_bSharedHandle = false;      // the handle belongs to another device; reads shift
  uint64_t m_nSectorOffset = 0;      // by m_nSectorOffset sectors
  uint8_t m_nDevice = 255;           // volume index or disk number
  std::u16string m_szModel;          // identity text of a disk

  // Linux side: where the bytes come from, and the root text shown in place of a drive
  // letter (the mount point, or the device or image path).
  DeviceSource m_source;
  std::u16string m_strRootText;
  // The device was not found when the document listed the machine's devices again
  // (CKelvoDoc::Refresh) and is kept because something still uses it; its reads fail.
  bool m_bDisconnected = false;
};

class CLogicalDriver : public CDriver {
 public:
  CLogicalDriver();
  ~CLogicalDriver() override;

  // Sets the device number, name and drive type and the shared-handle flag; with the
  // flag set, succeeds without opening anything (Attach supplied the handle),
  // otherwise opens m_source.
  virtual bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle);
  // Takes a borrowed handle, the volume's boot sector and its sector offset on that
  // handle. False here; the FAT and NTFS volumes accept.
  virtual bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset);
  // Reads one cluster (m_nBytesPerCluster bytes) into buffer.
  virtual bool ReadCluster(uint64_t cluster, uint32_t reserved, uint8_t* buffer);
  // The byte offset of a unit on the device handle (what ReadCluster reads from).
  virtual uint64_t UnitByteOffset(uint64_t unit);
  // The byte offset of a unit within the source the user named (the image file or device,
  // before any partition offset is taken away). A volume reading through a handle of its own
  // sees its source from the partition's start on; one sharing a disk's handle (a lost
  // volume, a disk's virtual volume) already counts the offset in UnitByteOffset.
  uint64_t SourceByteOffset(uint64_t unit) { return UnitByteOffset(unit) + (m_bSharedHandle ? 0 : m_source.nOffset); }
  uint64_t LastUnitOnDevice(uint64_t first, uint64_t last) override;

  // --- the nodes of the results folder (deepscan/ResultNodes.h names and adds them) ---
  // A bare carved-file node of this volume's own file class whose data begins at unit;
  // null here (a volume without carved files).
  virtual std::unique_ptr<CFSFile> NewCarvedFile(uint64_t unit);
  // The first unit of a carved file or lost folder of this volume's results folder; false
  // here, and for any other node.
  virtual bool ResultStartUnit(const CDirEntry& node, uint64_t& unit) const;

  // The items of the volume's file system whose data begins at a unit: every file with a
  // first cluster, existing or deleted, with its path from the root ('/'-separated). None
  // here (a volume without a file system). Walks are bounded as listing walks are.
  struct FirstUnitItem {
    uint64_t nUnit = 0;
    std::u16string strPath;
    bool bDeleted = false;
  };
  virtual void CollectFirstUnits(std::vector<FirstUnitItem>& items);
  // CollectFirstUnits' items sorted by unit (existing before deleted at one unit), made
  // once, when the first carved file is added (deepscan/ResultNodes.cpp).
  std::vector<FirstUnitItem> m_firstUnitItems;
  // The journal of the volume's last deep scan in the GUI (what "Save Scan..." writes), or
  // the session "Open Scan..." resumes; null when there is none.
  std::shared_ptr<IScanJournal> m_pScanJournal;
  bool m_bFirstUnitItemsMade = false;

  // Reads count sectors; with a shared handle the sector is shifted by m_nSectorOffset.
  bool ReadSectors(uint64_t sector, uint8_t* buffer, uint32_t bytesPerSector, uint32_t count);
  // After a failed read of these sectors: whether they are bad sectors of a device that is
  // there (the readers then deliver zeros and report the range), rather than sectors past
  // the device's end (a truncated image: the file is incomplete) or a device that stopped
  // answering (the job ends).
  bool FailedSectorsAreBad(uint64_t sector, uint32_t count) const;

  CDirectory* m_pRoot = nullptr;        // owned
  CDirectory* m_pLostFolder = nullptr;  // owned through the root's children
  uint8_t m_bootSector[512] = {};       // the volume's boot sector (FAT and NTFS volumes)

  // The type enable flags of the deep scan, in declaration order; all clear at
  // construction except JPEG. Written when the user finishes a type page.
  uint32_t m_bScanBMP = 0;
  uint32_t m_bScanGIF = 0;
  uint32_t m_bScanJPG = 1;
  uint32_t m_bScanPCX = 0;
  uint32_t m_bScanPNG = 0;
  uint32_t m_bScanPSD = 0;
  uint32_t m_bScanTGA = 0;
  uint32_t m_bScanTIF = 0;
  uint32_t m_bScanCR2 = 0;
  uint32_t m_bScanNEF = 0;
  uint32_t m_bScanRAF = 0;
  uint32_t m_bScanPEF = 0;
  uint32_t m_bScanORF = 0;
  uint32_t m_bScanDOC = 0;
  uint32_t m_bScanXLS = 0;
  uint32_t m_bScanPPT = 0;
  uint32_t m_bScanVSD = 0;
  uint32_t m_bScanDOCX = 0;
  uint32_t m_bScanXLSX = 0;
  uint32_t m_bScanPPTX = 0;
  uint32_t m_bScan3DS = 0;
  uint32_t m_bScanDXF = 0;
  uint32_t m_bScanPDF = 0;
  uint32_t m_bScanHTML = 0;
  uint32_t m_bScanDBF = 0;
  uint32_t m_bScanRAR = 0;
  uint32_t m_bScanZIP = 0;
  uint32_t m_bScanDBX = 0;
  uint32_t m_bScanPST = 0;
  uint32_t m_bScanMSG = 0;
  uint32_t m_bScan3GP = 0;
  uint32_t m_bScanAVI = 0;
  uint32_t m_bScanMOV = 0;
  uint32_t m_bScanMP4 = 0;
  uint32_t m_bScanMID = 0;
  uint32_t m_bScanMP3 = 0;
  uint32_t m_bScanWAV = 0;
  uint32_t m_bScanCDR = 0;
  uint32_t m_bScan3G2 = 0;
  uint32_t m_bScanM4V = 0;
  uint32_t m_bScanTXT = 0;  // plain text (UTF-8, or UTF-16 with its byte-order mark)

  // --- deep scan: signature recognition, unit stream, extent rules ---
  // The type that begins in this unit's bytes (at least 512, one unit), by the enabled
  // flags; kNoFileType when none. Pure: reads nothing and changes nothing.
  uint16_t MatchSignature(uint64_t unit, const uint8_t* buffer) const { return MatchSignatureOf(buffer, m_bScanTXT); }
  // The same, with the plain-text probe (the last stage) taken or left out.
  uint16_t MatchSignatureOf(const uint8_t* buffer, bool text) const;
  // How many of a unit's first bytes MatchSignature reads: 32, or the first sector when
  // DXF or plain text is enabled (the DXF start and the text probe look further).
  size_t SignatureProbeBytes() const;
  // Whether another file than a text begins at unit: a signature other than text matches
  // there (a picture's "BM" or a 3DS "MM" starting a unit of text is taken for text). Lets
  // the text rule end a text where a file written right after it begins.
  bool OtherFileBeginsAt(uint64_t unit);
  // Reads unit into m_pUnitBuffer; false outside [m_nFirstUnit, m_nLastUnit].
  bool StreamReadUnit(uint64_t unit);
  // Positions the stream at the first byte of unit.
  bool StreamSeek(uint64_t unit);
  // Advances n bytes; n, or -1 when a unit needed cannot be read.
  int64_t StreamSkip(uint64_t n);
  // Copies the next n bytes; n, or 0 on a failed read.
  uint64_t StreamRead(uint8_t* destination, uint64_t n);
  // The first occurrence of the pattern at or after the stream position; the distance
  // from the position to the end of the occurrence, the stream then standing just after
  // it; -1 when not found before the volume's end or the sixth header-like unit.
  int64_t StreamFind(const uint8_t* pattern, size_t patternLength, bool ignoreCase);
  // Classifies unit's bytes and measures the file that begins there.
  bool MeasureFile(uint64_t unit, const uint8_t* buffer, uint32_t unitSize, std::u16string& extension,
                   uint64_t& length);
  // Reads unit and measures the file there; false for a length of 0 or 0x20000000 or more.
  bool IdentifyFile(uint64_t unit, std::u16string& extension, uint64_t& length);
  // 1 excellent, 2 good or 3 poor: whether unit still holds the header of file's own type
  // and length; reason (when given) says which evidence decided.
  uint32_t CheckFileHeader(uint64_t unit, const CDirEntry* file, StatusReason* reason = nullptr);

 protected:
  // The Attach of the FAT and NTFS volumes: takes the handle, the boot sector and the
  // offset; the following Open with the shared-handle flag skips reading geometry.
  bool AttachBootSector(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset);
  // Reads sector 0 of the device into m_bootSector after the base geometry query.
  bool ReadBootSector();
};

// Bit n of a byte array is bit n mod 8 (least significant first) of byte n / 8.
inline void SetBit(uint8_t* bitmap, uint64_t n) {
  if (bitmap) bitmap[n >> 3] = uint8_t(bitmap[n >> 3] | (1u << (n & 7)));
}
inline bool TestBit(const uint8_t* bitmap, uint64_t n) { return bitmap && (bitmap[n >> 3] >> (n & 7)) & 1u; }
