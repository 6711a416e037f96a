// The boot-sector probes of the lost-volume search: whether 512 bytes of a disk begin a
// FAT, exFAT or NTFS volume, and how many sectors that volume covers. The search itself, which
// opens the volumes it finds and hands them to the document, lives beside the document
// (app/LostVolumes.h).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "device/Driver.h"

// The first 512 bytes of a candidate volume, whatever sector size it declares.
using BootSectorBytes = std::span<const uint8_t, 512>;

// An NTFS volume boot sector: jump byte EB, 0xAA55, "NTFS    " and a 0 byte, 512 or 1024
// bytes per sector, 1 to 128 sectors per cluster, 0x00800080 at 36, bytes 16-18 zero.
bool IsNtfsBootSector(BootSectorBytes b);
// A FAT boot sector: jump byte EB, 55 AA at 510, 512 to 4096 bytes per sector.
bool IsFatBootSector(BootSectorBytes b);
// An exFAT main boot sector: EB 76 90, "EXFAT   ", zeros in bytes 11-63, 55 AA at 510, a
// sector shift of 9-12 and a cluster of at most 32 MiB. (Its checksum sector is checked
// when the volume opens.)
bool IsExFatBootSector(BootSectorBytes b);

// The sectors a found volume covers from its boot sector on, as its boot sector counts
// them (NTFS: the sector count; exFAT: the volume length; FAT: the 16-bit or else 32-bit
// total), so the scan goes
// on right after the volume; at least 1, so a boot sector with zero or absurd counts
// still moves the scan forward.
uint64_t LostVolumeSectors(BootSectorBytes b, bool ntfs);
