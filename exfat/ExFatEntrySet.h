// What an exFAT boot region and a directory entry set say, parsed from bytes alone (no
// device reads), for the volume, the lost-partition probe, the tests and the fuzzers.
//
// Format notes: a file or folder is an entry set: a File entry (0x85) whose secondary
// count says how many entries follow, a Stream Extension (0xC0) with the data's place and
// lengths, File Name entries (0xC1) of 15 UTF-16 characters each, then any benign
// secondaries. The File entry carries a 16-bit checksum of the whole set (its own checksum
// bytes left out). Deleting a set clears the in-use bit (0x80) of each of its entries and
// nothing else, so a deleted set (0x05, 0x40, 0x41) still holds its name, its times, its
// first cluster and its lengths; its checksum was made with the in-use bits set, and it is
// checked that way.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "exfat/ExFATLayout.h"

// The geometry an exFAT boot sector describes; 64-bit wherever a product may need it.
struct ExFatGeometry {
  uint32_t nBytesPerSector = 0;
  uint32_t nSectorsPerCluster = 0;
  uint32_t nBytesPerCluster = 0;     // at most 32 MiB
  uint64_t nVolumeLength = 0;        // sectors
  uint64_t nFatOffset = 0;           // sector
  uint64_t nFatLength = 0;           // sectors of one FAT
  uint32_t nNumberOfFats = 0;
  uint64_t nClusterHeapOffset = 0;   // sector of cluster 2
  uint64_t nClusterCount = 0;
  uint64_t nRootCluster = 0;
  uint32_t nSerial = 0;
  uint16_t nVolumeFlags = 0;
};

enum class ExFatBootCheck {
  Ok,
  NoSignature,     // no 0xAA55, jump bytes or "EXFAT   " name
  NotZero,         // the bytes where a FAT boot sector keeps its parameters are not zero
  BadShift,        // sector size outside 512-4096, or a cluster larger than 32 MiB
  BadFatCount,     // neither one nor two FATs
  BadLayout,       // FAT or cluster heap before the boot regions, overlapping, or past the volume
  BadClusterCount, // no clusters, more than exFAT allows, or more than the FAT holds
  BadRootCluster,  // the root folder's first cluster outside the heap
};

// Whether 512 bytes begin an exFAT volume: the jump bytes EB 76 90, the name "EXFAT   ",
// zeros in bytes 11-63, 0xAA55, a sector shift of 9-12 and a cluster of at most 32 MiB.
ExFatBootCheck CheckExFatBootSector(ExFatBootBytes boot);
// Derives the geometry with checked arithmetic; anything but Ok leaves g unspecified.
ExFatBootCheck ParseExFatGeometry(ExFatBootBytes boot, ExFatGeometry& g);
// The checksum of a boot region's first eleven sectors (region holds at least 11 sectors
// of bytesPerSector bytes); the volume-flags and percent-in-use bytes are left out.
uint32_t ExFatBootChecksum(std::span<const uint8_t> region, uint32_t bytesPerSector);
// Whether a boot region (12 sectors) carries its own checksum in every word of sector 11.
bool VerifyExFatBootRegion(std::span<const uint8_t> region, uint32_t bytesPerSector);

// The checksum of an entry set (whole entries, the File entry first), its checksum bytes
// left out. With asInUse each entry's type is taken with the in-use bit set, as it was
// when the set was written: a deleted set is checked that way.
uint16_t ExFatSetChecksum(std::span<const uint8_t> set, bool asInUse);

// A file or folder as its entry set describes it.
struct ExFatEntrySet {
  bool bDeleted = false;        // the File entry's in-use bit is clear
  bool bChecksumOk = false;
  uint16_t nAttributes = 0;
  uint32_t nCreateTime = 0, nModifyTime = 0, nAccessTime = 0;
  uint8_t nCreate10ms = 0, nModify10ms = 0;
  uint8_t nCreateUtcOffset = 0, nModifyUtcOffset = 0, nAccessUtcOffset = 0;
  uint8_t nStreamFlags = 0;
  uint64_t nFirstCluster = 0;
  uint64_t nValidDataLength = 0;
  uint64_t nDataLength = 0;
  uint32_t nEntries = 0;        // entries of the set, the File entry included
  std::u16string strName;

  bool IsFolder() const { return nAttributes & exfatdir::kAttrFolder; }
  bool NoFatChain() const { return nStreamFlags & exfatdir::kFlagNoFatChain; }
  // The bytes that hold data: the valid data length, never more than the data length.
  uint64_t ValidBytes() const { return nValidDataLength < nDataLength ? nValidDataLength : nDataLength; }
};

enum class ExFatSetParse {
  Ok,
  NotAFile,          // the first entry is no File entry (0x85, or 0x05 deleted)
  Truncated,         // fewer entries than the secondary count (or the name) needs
  BadSecondaryCount, // fewer than two secondaries
  MixedState,        // a secondary whose in-use bit differs from the File entry's, or no secondary at all
  NoStream,          // the first secondary is no Stream Extension
  BadNameLength,     // a name length of 0, or more characters than the name entries hold
};

// Parses the set that begins at the first entry of entries (whole entries; more may follow
// and are not read). On Ok, set is filled; bChecksumOk says whether the set checksum holds.
ExFatSetParse ParseExFatEntrySet(std::span<const uint8_t> entries, ExFatEntrySet& set);

// An exFAT timestamp (2-second resolution; 10 ms units and the UTC offset beside it) as
// seconds since 1970 UTC. With the offset's valid bit the time is local to that offset;
// without it, local time of the process's time zone, as FAT times are. False for a
// timestamp of 0 or one that does not exist.
bool ExFatTimeToUnix(uint32_t timestamp, uint8_t tenMs, uint8_t utcOffset, int64_t& t);
