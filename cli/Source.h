// Resolving a command's SOURCE argument into a volume of the document.
#pragma once

#include <string>

#include "app/Document.h"
#include "platform/SameDisk.h"  // IsOnSameDisk, for the commands that write
#include "tree/SaveReport.h"

struct SourceOptions {
  std::string strSource;
};

// The virtual volume of the disk (image or block device) at path, added to doc. Null
// with *error when the path cannot be opened.
CLogicalDriver* OpenDiskAsVirtualVolume(CKelvoDoc& doc, const std::string& path, std::string* error);

// What a SOURCE argument names: a volume (FAT, exFAT or NTFS), or a whole disk.
struct ResolvedSource {
  CLogicalDriver* pVolume = nullptr;   // the volume, or the disk's virtual volume
  bool bIsDisk = false;                // pVolume is the virtual volume of a whole disk
};

// Resolves SOURCE: with partition > 0 the N-th FAT, exFAT or NTFS volume of the disk (from 1);
// without, the volume of a partition-less image or device; a disk holding several
// volumes is an error that lists them, unless allowDisk (then the disk itself).
// Answers false with *error (a bad argument or an unreadable source).
bool ResolveSource(CKelvoDoc& doc, const std::string& source, int partition, bool allowDisk, bool forceDisk,
                   ResolvedSource& out, std::string* error, const std::string& lost = std::string());

// The disk at path as a disk of the document (its partitions' volumes known); null with
// *error.
CPhysicalDriver* OpenDisk(CKelvoDoc& doc, const std::string& path, std::string* error);

// Opens --report FILE for a command that writes (nothing to do for an empty path). Refused,
// with the reason printed, when FILE lies on the disk being read from (unless allowSameDisk)
// or cannot be created.
bool OpenReportFile(CSaveReport& report, const std::string& path, const std::string& source, bool allowSameDisk);
