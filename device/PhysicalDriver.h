// Whole disks: the machine's disks and the disk images the user opened.
//
// A disk is addressed by its number, 0 to 127: first the machine's whole disks in name
// order, then the image files in the order they were added. Its unit is one 512-byte
// sector whatever the device reports, and its sector count is 64-bit.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/Driver.h"

constexpr int kMaxDiskNumber = 127;

// The description of a disk that OpenPhysicalDrive fills for its callers.
struct DiskInfo {
  std::u16string szProduct;          // product text; empty when the device reports none
  int32_t nDriveType = 0;            // 2 removable, 3 fixed, 0 unknown
  uint32_t nBytesPerSector = 512;    // always 512
  uint32_t nSectorsPerCluster = 1;   // always 1
  uint64_t nSectorCount = 0;         // the device size in 512-byte sectors
  uint64_t nSectorCount2 = 0;        // the same value again
  std::string strPath;               // the device or image path
};

// One entry of a disk table: where a disk's bytes come from and how it is shown.
struct DiskSlot {
  std::string strPath;
  std::u16string strProduct;
  int32_t nDriveType = DRIVE_FIXED;
  bool bSystem = false;   // a disk of the machine (not an image file)
  uint64_t nDiskSeq = 0;  // the kernel's diskseq of a disk of the machine (platform/Enumerate.h)

  // Whether two listings of the machine's disks name the same disk: the same path, product
  // and diskseq. (Without diskseq, a card swapped for one of the same model reads as the same.)
  bool SameSystemDisk(const DiskSlot& other) const {
    return bSystem && other.bSystem && strPath == other.strPath && strProduct == other.strProduct &&
           nDiskSeq == other.nDiskSeq;
  }
};

// The numbers of the disks one document shows: the machine's whole disks first (listed on
// first use through the given function; none without one), then the image files in the
// order they were added, then disks of the machine that appeared later (AddSlot). A number,
// once given, keeps its disk for the table's life, also after the disk went away. Each
// document has a table of its own. Any thread may use it.
class CDiskTable {
 public:
  explicit CDiskTable(std::function<std::vector<DiskSlot>()> listSystemDisks = {})
      : m_listSystem(std::move(listSystemDisks)) {}
  // Appends an image file as the next disk; answers its number, or -1 when the table is
  // full. The same path added twice answers its existing number.
  int AddImage(const std::string& path);
  // Appends a disk as the next number (a disk of the machine that appeared after the first
  // listing); answers its number, or -1 when the table is full.
  int AddSlot(const DiskSlot& slot);
  // Disk n, or false when there is none.
  bool Slot(int n, DiskSlot& slot);
  // The path of disk n, or empty when there is none.
  std::string PathOf(int n);
  // How many numbers are given.
  int Count();

 private:
  void EnsureSystemListed();
  std::mutex m_mutex;
  std::function<std::vector<DiskSlot>()> m_listSystem;
  bool m_bSystemListed = false;
  std::vector<DiskSlot> m_slots;
};

// Opens a disk read-only and describes it. Null when it cannot be opened; error
// (optional) says why.
DeviceHandle OpenPhysicalDrive(const DiskSlot& slot, DiskInfo& info, std::string* error = nullptr);

class CPhysicalDriver : public CDriver {
 public:
  // Opens and describes the disk of slot as disk number m_nDevice; false when it cannot be
  // opened.
  bool Detect(const DiskSlot& slot, std::string* error = nullptr);
  // Sets the disk number, drive type and name and allocates one unit.
  bool Open(uint8_t diskNumber, int32_t driveType, const std::u16string& name);
};
