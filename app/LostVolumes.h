// The search for lost FAT, exFAT and NTFS volumes on a disk: volumes that no partition table
// lists any more. A range of the disk's sectors is read one by one; each volume boot
// sector found (device/LostPartitions.h says which) is opened as a volume reading through
// the disk's handle at that sector, unless the document already knows a volume with that
// boot sector, and the scan skips over the sectors the volume covers.
#pragma once

#include <cstdint>
#include <memory>

#include "device/Driver.h"

class CKelvoDoc;
class CPhysicalDriver;
class IProgressWindow;

// Opens the volume whose boot sector lies at sector on the disk, named
// "LostDriver_<sector + 1>"; null when the sector holds no FAT, exFAT or NTFS boot sector or the
// volume does not open.
std::unique_ptr<CLogicalDriver> OpenLostVolume(CPhysicalDriver& disk, uint64_t sector);

// Scans the disk's sectors [m_nFirstUnit, m_nLastUnit) and appends every volume found
// that the document does not know. With a progress window: WM_SCANPROGRESS (0, 1, then
// 2 with the sector every 32 sectors and for the last ones) and the dialog runner's stop
// event polled at every sector. False when stopped; volumes found until then stay.
bool FindLostVolumes(CPhysicalDriver& disk, CKelvoDoc& doc, IProgressWindow* progress);

// Hands a disk's virtual volume the document's volumes that lie on that disk (its
// partitions, and the lost volumes found on it), so that a deep scan of the whole disk names
// each carved file beginning where a file of one of them begins, under
// "VOLUME/path"; and a way to open the volumes the scan meets at boot sectors no partition
// table lists ("LostDriver_N/path"). Call it on the thread that owns the document, before
// the scan. Nothing for any other volume.
void NameCarvedFilesFromVolumes(CKelvoDoc& doc, CLogicalDriver& diskVolume);
