// NTFS boot sector fields, little-endian.
#pragma once

#include <cstddef>

namespace ntfslayout {
// offset                                       size  meaning
constexpr size_t kOemId = 0x03;                 // 8   "NTFS    "
constexpr size_t kBytesPerSector = 0x0B;        // 2   512 or 1024
constexpr size_t kSectorsPerCluster = 0x0D;     // 1   a power of two up to 128
constexpr size_t kTotalSectors = 0x28;          // 8   sectors of the volume
constexpr size_t kMftCluster = 0x30;            // 8   first cluster of the MFT
constexpr size_t kClustersPerRecord = 0x40;     // 4   < 0x80: clusters; else 2^(256 - v) bytes
constexpr size_t kSignature = 0x1FE;            // 2   0xAA55
constexpr unsigned kBootSignature = 0xAA55;
}  // namespace ntfslayout
