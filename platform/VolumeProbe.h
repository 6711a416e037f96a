// Partition tables and file-system types read through a CRawDevice, for disks that libblkid
// cannot open because their bytes come out of a container (E01, QCOW2, VHD, VMDK, split raw).
//
// The answers follow libblkid's for the same bytes: MBR partitions numbered 1 to 4 by their
// slot and logical partitions from 5 in chain order, GPT partitions by their entry; FAT12/16/32
// told apart by cluster count, labels taken from the root folder's volume entry before the
// boot sector's, "NO NAME" counting as none; the NTFS label from the $Volume record, the exFAT
// label from its root folder's label entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Enumerate.h"

class CRawDevice;

namespace enumerate {

// The partition table of a disk (MBR with its logical partitions, or GPT). False when there
// is none.
bool ProbePartitions(CRawDevice& disk, std::vector<PartitionInfo>& parts);
// The file system at byte offset of disk ("FAT12", "FAT16", "FAT32", "NTFS", "exFAT"), with
// its label. False when none is recognised.
bool ProbeFileSystem(CRawDevice& disk, uint64_t offset, uint64_t length, std::string& fsName,
                     std::u16string& label);

}  // namespace enumerate
