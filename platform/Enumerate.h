// The machine's disks and volumes, and what is inside a disk image.
//
// Whole disks come from /sys/block (sd, nvme, mmcblk, vd, xvd, hd, and loop devices
// that have a backing file), sorted by name. File-system types and labels come from
// libblkid; mount points from /proc/self/mountinfo. Optical, RAM and zram devices are
// never listed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace enumerate {

struct DiskInfo {
  std::string strPath;        // /dev/sda
  std::string strName;        // sda
  std::u16string strProduct;  // vendor and model, trimmed
  int32_t nDriveType = 3;     // 2 removable, 3 fixed
  // /sys/block/NAME/diskseq: a number the kernel gives each disk and each new medium in it,
  // never given again until reboot; it tells a card put back in the same slot (the same
  // path) from the one that was there before. 0 on kernels without it (before 5.15).
  uint64_t nDiskSeq = 0;
};

struct VolumeInfo {
  std::string strPath;        // the partition's block device, or the image file
  uint64_t nOffset = 0;       // byte offset inside strPath (partitions of an image)
  uint64_t nLength = 0;       // byte length; 0 to the end
  std::string strFsName;      // "FAT12", "FAT16", "FAT32", "NTFS", or another type name
  std::u16string strLabel;
  std::string strMountPoint;  // empty when not mounted
  int32_t nDriveType = 3;
  int nPartition = 0;         // partition number inside its disk or image; 0 for none
  uint64_t nDiskSeq = 0;      // the diskseq of the machine's disk it lies on; 0 for an image
};

struct PartitionInfo {
  int nNumber = 0;
  uint64_t nStartSector = 0;  // 512-byte sectors
  uint64_t nSectorCount = 0;
};

// Whole disks of the machine, sorted by name.
std::vector<DiskInfo> ListSystemDisks();
// FAT, exFAT and NTFS volumes of the machine (partitions, and partition-less disks), in disk
// order then partition order; other file systems are left out.
std::vector<VolumeInfo> ListSystemVolumes();

// Probes the file system at [offset, offset + length) of path ("FAT32", "NTFS", ...).
// False when none is recognised.
bool ProbeFileSystem(const std::string& path, uint64_t offset, uint64_t length, std::string& fsName,
                     std::u16string& label);
// Reads the partition table (MBR or GPT) of a disk or image. False when there is none.
bool ProbePartitions(const std::string& path, std::vector<PartitionInfo>& parts);
// The FAT, exFAT and NTFS volumes inside an image file: its partitions, or the image itself
// when it holds a file system without a table.
std::vector<VolumeInfo> ListImageVolumes(const std::string& path);

// The mount point of a block device number, or empty.
std::string FindMountPoint(dev_t device);

// Whether a file-system name makes a FAT volume ("FAT", "FAT12", ...; case-sensitive),
// an NTFS volume (exactly "NTFS") or an exFAT volume (exactly "exFAT").
bool IsFatName(const std::string& fs);
bool IsNtfsName(const std::string& fs);
bool IsExFatName(const std::string& fs);
// Any of the three: a volume the program reads.
bool IsReadableFsName(const std::string& fs);

}  // namespace enumerate
