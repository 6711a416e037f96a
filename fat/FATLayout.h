// FAT on-disk layout: the boot sector (BIOS parameter block) and the 32-byte folder entry,
// little-endian, and the fixed-size views the parsers read them through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ByteReader.h"

namespace fatlayout {
// offset                                    size  meaning
constexpr size_t kJump = 0x00;               // 3   jump instruction; EB xx 90 on the volumes the lost-volume search takes
constexpr size_t kBytesPerSector = 0x0B;     // 2   bytes per sector
constexpr size_t kSectorsPerCluster = 0x0D;  // 1   sectors per cluster
constexpr size_t kReservedSectors = 0x0E;    // 2   sectors before the first FAT
constexpr size_t kNumberOfFats = 0x10;       // 1   copies of the FAT
constexpr size_t kRootEntryCount = 0x11;     // 2   entries of the fixed root region (FAT12/16)
constexpr size_t kTotalSectors16 = 0x13;     // 2   total sectors; 0: see kTotalSectors32
constexpr size_t kSectorsPerFat16 = 0x16;    // 2   sectors per FAT; 0: see kSectorsPerFat32
constexpr size_t kTotalSectors32 = 0x20;     // 4   total sectors
constexpr size_t kSectorsPerFat32 = 0x24;    // 4   sectors per FAT (FAT32)
constexpr size_t kRootCluster = 0x2C;        // 4   first cluster of the root folder (FAT32)
constexpr size_t kSignature = 0x1FE;         // 2   0xAA55
constexpr size_t kBootSectorSize = 512;      //     bytes of the boot sector the parsers read
constexpr uint8_t kJumpShort = 0xEB;
constexpr unsigned kBootSignature = 0xAA55;
constexpr unsigned kMaxBytesPerCluster = 0x8000;
constexpr unsigned kDirEntrySize = 32;
// Cluster-count limits that decide the FAT width.
constexpr unsigned kFat12MaxClusters = 4085;   // fewer clusters: FAT12
constexpr unsigned kFat16MaxClusters = 65525;  // fewer clusters: FAT16; otherwise FAT32

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
}  // namespace fatlayout

namespace fatdir {
// Directory entry, 32 bytes                    size  meaning
constexpr size_t kName = 0;                     // 8   base name; 0x00 ends the folder, 0xE5 deleted
constexpr size_t kExtension = 8;                // 3
constexpr size_t kAttributes = 11;              // 1   0x10 folder, 0x08 label, low 6 bits 0x0F long name
constexpr size_t kNameCase = 12;                // 1   Windows NT case flags of the short name (kCaseLower*)
constexpr size_t kCreateTenths = 13;            // 1   creation time, 10 ms units, 0-199
constexpr size_t kCreateTime = 14;              // 2
constexpr size_t kCreateDate = 16;              // 2
constexpr size_t kAccessDate = 18;              // 2
constexpr size_t kClusterHigh = 20;             // 2
constexpr size_t kWriteTime = 22;               // 2
constexpr size_t kWriteDate = 24;               // 2
constexpr size_t kClusterLow = 26;              // 2
constexpr size_t kSize = 28;                    // 4   bytes
constexpr size_t kNameSize = 8, kExtensionSize = 3;
// Long-name entry
constexpr size_t kLfnSequence = 0;              // 1   0x40: the entry holding the name's end
constexpr size_t kLfnChars1 = 1;                // 10  characters 1-5
constexpr size_t kLfnType = 12;                 // 1   0 for a name entry
constexpr size_t kLfnChecksum = 13;             // 1
constexpr size_t kLfnChars2 = 14;               // 12  characters 6-11
constexpr size_t kLfnChar9 = 20;                // 2   character 9 (the fourth of kLfnChars2)
constexpr size_t kLfnZero = 26;                 // 2   must be 0
constexpr size_t kLfnChars3 = 28;               // 4   characters 12-13
constexpr size_t kLfnChars1Count = 5, kLfnChars2Count = 6, kLfnChars3Count = 2;
constexpr uint8_t kLfnLast = 0x40;              // in kLfnSequence
constexpr uint8_t kLfnOrdinalMask = 0x1F;       // in kLfnSequence: 1 for the entry holding the name's start
constexpr uint8_t kLfnMaxOrdinal = 20;          // 255 characters take 20 entries
constexpr uint8_t kCaseLowerBase = 0x08;        // in kNameCase: the base name is shown in lower case
constexpr uint8_t kCaseLowerExtension = 0x10;   // in kNameCase: the extension is shown in lower case
constexpr uint8_t kEndMark = 0x00, kDeletedMark = 0xE5;  // first name byte
constexpr uint8_t kE5Stand = 0x05;              // first name byte standing for a real 0xE5
constexpr uint8_t kAttrLabel = 0x08, kAttrFolder = 0x10, kAttrLongName = 0x0F;
constexpr uint8_t kAttrLongNameMask = 0x3F;     // the bits that make a long-name entry
constexpr uint8_t kAttrUnused = 0xC0;           // bits no valid entry sets
// A folder holds at most 65,536 entries (2 MiB); a deleted folder is read no further.
constexpr uint32_t kMaxFolderEntries = 65536;
constexpr int kMaxLongNameEntries = 18;         // slots; names of up to 17 entries reach their item
constexpr int kCharsPerLongNameEntry = 13;
static_assert(kLfnChars1Count + kLfnChars2Count + kLfnChars3Count == kCharsPerLongNameEntry);
static_assert(kLfnChar9 == kLfnChars2 + 2 * (9 - 1 - kLfnChars1Count));
}  // namespace fatdir

// Fixed-size views of the two structures: a parser that takes one cannot be handed fewer
// bytes, and its field reads are checked against the size when it compiles.
using FatBootBytes = std::span<const uint8_t, fatlayout::kBootSectorSize>;
using FatDirEntryBytes = std::span<const uint8_t, fatlayout::kDirEntrySize>;
// The entry buffer a folder walk fills.
using FatDirEntryBuffer = std::span<uint8_t, fatlayout::kDirEntrySize>;
