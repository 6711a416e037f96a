// FAT boot sector (BIOS parameter block) fields, little-endian.
#pragma once

#include <cstddef>

namespace fatlayout {
// offset                                    size  meaning
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
constexpr unsigned kBootSignature = 0xAA55;
constexpr unsigned kMaxBytesPerCluster = 0x8000;
constexpr unsigned kDirEntrySize = 32;
// Cluster-count limits that decide the FAT width.
constexpr unsigned kFat12MaxClusters = 4085;   // fewer clusters: FAT12
constexpr unsigned kFat16MaxClusters = 65525;  // fewer clusters: FAT16; otherwise FAT32
}  // namespace fatlayout
