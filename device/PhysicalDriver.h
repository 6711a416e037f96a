// Whole disks: the machine's disks and the disk images the user opened.
//
// A disk is addressed by its number, 0 to 127: first the machine's whole disks in name
// order, then the image files in the order they were added. Its unit is one 512-byte
// sector whatever the device reports, and its sector count is 64-bit.
#pragma once

#include <string>

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

namespace disks {
// Whether the machine's own disks take the first numbers (default true). Set before
// the first use of the table.
void UseSystemDisks(bool use);
// Appends an image file as the next disk; answers its number, or -1 when the table is
// full. The same path added twice answers its existing number.
int AddImage(const std::string& path);
// The path of disk n, or empty when there is none.
std::string PathOf(int n);
// Forgets every image and the system list (tests).
void Reset();
}  // namespace disks

// Opens disk n read-only and describes it. Null when the number is absent or the disk
// cannot be opened; error (optional) says why.
DeviceHandle OpenPhysicalDrive(int n, DiskInfo& info, std::string* error = nullptr);

class CPhysicalDriver : public CDriver {
 public:
  // Opens and describes disk m_nDevice; false when it is absent.
  bool Detect(std::string* error = nullptr);
  // Sets the disk number, drive type and name and allocates one unit.
  bool Open(uint8_t diskNumber, int32_t driveType, const std::u16string& name);
};
