// exFAT on-disk layout: the main boot sector, the boot region's checksum sector and the
// 32-byte directory entries, little-endian, and the fixed-size views the parsers read them
// through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ByteReader.h"

namespace exfatlayout {
// Main boot sector                              size  meaning
constexpr size_t kJump = 0x00;                   // 3   EB 76 90
constexpr size_t kFileSystemName = 0x03;         // 8   "EXFAT   "
constexpr size_t kMustBeZero = 0x0B;             // 53  zero (where a FAT boot sector keeps its BPB)
constexpr size_t kMustBeZeroSize = 53;
constexpr size_t kPartitionOffset = 0x40;        // 8   sectors before the volume on its disk (informational)
constexpr size_t kVolumeLength = 0x48;           // 8   sectors of the volume
constexpr size_t kFatOffset = 0x50;              // 4   sector of the first FAT
constexpr size_t kFatLength = 0x54;              // 4   sectors of one FAT
constexpr size_t kClusterHeapOffset = 0x58;      // 4   sector of cluster 2
constexpr size_t kClusterCount = 0x5C;           // 4   clusters of the heap
constexpr size_t kFirstClusterOfRoot = 0x60;     // 4   first cluster of the root folder
constexpr size_t kVolumeSerial = 0x64;           // 4
constexpr size_t kRevision = 0x68;               // 2   minor, major (1.00)
constexpr size_t kVolumeFlags = 0x6A;            // 2   left out of the boot checksum
constexpr size_t kBytesPerSectorShift = 0x6C;    // 1   9 to 12
constexpr size_t kSectorsPerClusterShift = 0x6D; // 1   0 to 25 - kBytesPerSectorShift
constexpr size_t kNumberOfFats = 0x6E;           // 1   1 or 2
constexpr size_t kPercentInUse = 0x70;           // 1   left out of the boot checksum
constexpr size_t kSignature = 0x1FE;             // 2   0xAA55
constexpr size_t kBootSectorSize = 512;          //     bytes of the boot sector the parsers read
constexpr uint8_t kJumpBytes[3] = {0xEB, 0x76, 0x90};
constexpr char kName[] = "EXFAT   ";
constexpr unsigned kBootSignature = 0xAA55;
constexpr unsigned kMinSectorShift = 9, kMaxSectorShift = 12;
constexpr unsigned kMaxClusterShift = 25;        // 32 MiB clusters
// The boot region: the main boot sector, 8 extended boot sectors, the OEM parameters, a
// reserved sector, then the checksum sector (11), whose every 32-bit word is the checksum
// of sectors 0 to 10. The backup region follows at sector 12.
constexpr unsigned kChecksumSector = 11;
constexpr unsigned kBootRegionSectors = 12;
constexpr unsigned kBackupBootSector = 12;
// Cluster numbers and FAT values.
constexpr uint32_t kFirstCluster = 2;
constexpr uint32_t kMaxClusterCount = 0xFFFFFFF5;
constexpr uint32_t kFatBad = 0xFFFFFFF7;
constexpr uint32_t kFatEnd = 0xFFFFFFFF;
}  // namespace exfatlayout

namespace exfatdir {
constexpr size_t kEntrySize = 32;
// Every entry                                  size  meaning
constexpr size_t kType = 0;                     // 1   bits 0-4 code, 5 benign, 6 secondary, 7 in use
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kSecondary = 0x40;
constexpr uint8_t kBenign = 0x20;
// Entry types with the in-use bit set; without it (type & 0x7F) the entry is deleted.
constexpr uint8_t kTypeEnd = 0x00;              // no entry here nor after it
constexpr uint8_t kTypeBitmap = 0x81;
constexpr uint8_t kTypeUpcase = 0x82;
constexpr uint8_t kTypeLabel = 0x83;
constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeGuid = 0xA0;
constexpr uint8_t kTypeStream = 0xC0;
constexpr uint8_t kTypeName = 0xC1;
// Allocation bitmap (0x81), up-case table (0x82): where their data lies.
constexpr size_t kBitmapFlags = 1;              // 1   bit 0: the second FAT's bitmap
constexpr size_t kTableChecksum = 4;            // 4   up-case table
constexpr size_t kDataFirstCluster = 20;        // 4
constexpr size_t kDataLength = 24;              // 8
// Volume label (0x83)
constexpr size_t kLabelLength = 1;              // 1   characters, at most 11
constexpr size_t kLabelChars = 2;               // 22  UTF-16
constexpr unsigned kMaxLabelChars = 11;
// File (0x85)
constexpr size_t kSecondaryCount = 1;           // 1   entries of the set after this one
constexpr size_t kSetChecksum = 2;              // 2   over the whole set, these two bytes left out
constexpr size_t kAttributes = 4;               // 2   0x10 folder, as on FAT
constexpr size_t kCreateTime = 8;               // 4   timestamp (below)
constexpr size_t kModifyTime = 12;              // 4
constexpr size_t kAccessTime = 16;              // 4
constexpr size_t kCreate10ms = 20;              // 1   0-199: 10 ms units added to the 2-second time
constexpr size_t kModify10ms = 21;              // 1
constexpr size_t kCreateUtcOffset = 22;         // 1   bit 7 valid; bits 0-6 signed, 15-minute units
constexpr size_t kModifyUtcOffset = 23;         // 1
constexpr size_t kAccessUtcOffset = 24;         // 1
constexpr uint16_t kAttrFolder = 0x10;
// Stream extension (0xC0), the first secondary of a file's set
constexpr size_t kStreamFlags = 1;              // 1   bit 0 allocation possible, bit 1 no FAT chain
constexpr size_t kNameLength = 3;               // 1   characters of the name, 1-255
constexpr size_t kNameHash = 4;                 // 2
constexpr size_t kValidDataLength = 8;          // 8   bytes written; the rest of the data length reads as zeros
constexpr size_t kStreamFirstCluster = 20;      // 4
constexpr size_t kStreamDataLength = 24;        // 8
constexpr uint8_t kFlagAllocationPossible = 0x01;
constexpr uint8_t kFlagNoFatChain = 0x02;
// File name (0xC1): 15 UTF-16 characters from byte 2.
constexpr size_t kNameChars = 2;
constexpr unsigned kCharsPerNameEntry = 15;
constexpr unsigned kMaxNameLength = 255;
// A file's set: File, Stream extension, 1 to 17 name entries, then benign secondaries the
// set checksum still covers; a count byte allows at most 255.
constexpr unsigned kMinSecondaryCount = 2;
constexpr unsigned kMaxNameEntries = (kMaxNameLength + kCharsPerNameEntry - 1) / kCharsPerNameEntry;
// A folder holds at most 256 MiB of entries.
constexpr uint64_t kMaxFolderBytes = uint64_t(256) << 20;
constexpr uint64_t kMaxFolderEntries = kMaxFolderBytes / kEntrySize;
}  // namespace exfatdir

using ExFatBootBytes = std::span<const uint8_t, exfatlayout::kBootSectorSize>;
using ExFatEntryBytes = std::span<const uint8_t, exfatdir::kEntrySize>;

namespace exfatlayout {
// A little-endian field at a fixed offset of a fixed-size view: a field that does not lie
// wholly inside the view does not compile.
template <size_t Offset, class Bytes>
uint16_t LE16(Bytes s) {
  static_assert(Bytes::extent != std::dynamic_extent, "a field is read from a view of fixed size");
  return bytes::RawLE16(s.template subspan<Offset, 2>().data());
}
template <size_t Offset, class Bytes>
uint32_t LE32(Bytes s) {
  static_assert(Bytes::extent != std::dynamic_extent, "a field is read from a view of fixed size");
  return bytes::RawLE32(s.template subspan<Offset, 4>().data());
}
template <size_t Offset, class Bytes>
uint64_t LE64(Bytes s) {
  static_assert(Bytes::extent != std::dynamic_extent, "a field is read from a view of fixed size");
  return bytes::RawLE64(s.template subspan<Offset, 8>().data());
}
}  // namespace exfatlayout
