// The search for lost FAT and NTFS volumes on a disk: volumes that no partition table
// lists any more. A range of the disk's sectors is read one by one; each volume boot
// sector found is opened as a volume reading through the disk's handle at that sector,
// unless the document already knows a volume with that boot sector, and the scan skips
// over the sectors the volume covers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/Driver.h"

class CKelvoDoc;
class CPhysicalDriver;

// An NTFS volume boot sector: jump byte EB, 0xAA55, "NTFS    " and a 0 byte, 512 or 1024
// bytes per sector, 1 to 128 sectors per cluster, 0x00800080 at 36, bytes 16-18 zero.
bool IsNtfsBootSector(const uint8_t* b);
// A FAT boot sector: jump byte EB, 55 AA at 510, 512 to 4096 bytes per sector.
bool IsFatBootSector(const uint8_t* b);

// The sectors a found volume covers from its boot sector on, as its boot sector counts
// them (NTFS: the sector count; FAT: the 16-bit or else 32-bit total), so the scan goes
// on right after the volume; at least 1, so a boot sector with zero or absurd counts
// still moves the scan forward.
uint64_t LostVolumeSectors(const uint8_t* b, bool ntfs);

// Opens the volume whose boot sector lies at sector on the disk, named
// "LostDriver_<sector + 1>"; null when the sector holds no FAT or NTFS boot sector or the
// volume does not open.
std::unique_ptr<CLogicalDriver> OpenLostVolume(CPhysicalDriver& disk, uint64_t sector);

// Scans the disk's sectors [m_nFirstUnit, m_nLastUnit) and appends every volume found
// that the document does not know. With a progress window: WM_SCANPROGRESS (0, 1, then
// 2 with the sector every 32 sectors and for the last ones) and the dialog runner's stop
// event polled at every sector. False when stopped; volumes found until then stay.
bool FindLostVolumes(CPhysicalDriver& disk, CKelvoDoc& doc, IProgressWindow* progress);
