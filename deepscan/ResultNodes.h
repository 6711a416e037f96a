// The nodes of a volume's results folder ("LostFiles"): carved files and rebuilt lost
// folders.
//
// This is the one place that creates them, names them ("FILE_N.EXT", "dir_N"), stamps
// their times and status, appends them to the results folder, tells the front end that
// the folder grew, and marks the units a carved file covers in the scan's visited
// bitmap. Each volume kind only makes the bare node of its own class and says where a
// node of its results folder begins (CLogicalDriver::NewCarvedFile and
// CLogicalDriver::ResultStartUnit); everything else is shared, so a carved file of a
// FAT volume, an NTFS volume and a disk behave alike.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/Driver.h"
#include "tree/DirEntry.h"

// Where a results node begins: its first unit (cluster of a volume, sector of a disk) and
// the byte offset of that unit within the volume's or disk's source (the image file or
// device the user named, before any partition offset is taken away).
struct ResultStart {
  uint64_t nUnit = 0;
  uint64_t nByteOffset = 0;
};

// Appends the carved file of length bytes found at unit to volume's results folder as
// "FILE_<n>.<extension>" (n counts every node already there, plus one), status
// Excellent, times now, allocated size whole units. With visited, marks the units the file
// covers from unit on, as long as they lie below the volume's last unit, so the scan
// passes over them. Answers the new node (owned by the folder); null when the volume has
// no results folder or cannot make carved files.
CFSFile* AddCarvedFile(CLogicalDriver& volume, uint64_t unit, const std::u16string& extension, uint64_t length,
                       CUnitBitmap* visited);

// Appends a rebuilt lost folder (made by the volume, its first unit set) to the results
// folder as "dir_<n>", or "dir_<n> (Root)" for a folder that was a volume's root; marked
// deleted, status Good, times now. Answers the folder (owned by the results folder).
CDirectory* AddLostFolder(CLogicalDriver& volume, std::unique_ptr<CDirectory> folder, bool wasRoot);

// Adds file-system items beginning at units to the index that names carved files (a lost
// folder the scan rebuilt: its files' names, under the folder's "dir_N" name): files carved
// at their first units carry those names, those carved from then on and those the scan
// carved before it reached the folder (changed through the front end's ChangeResults).
void AddFirstUnitItems(CLogicalDriver& volume, std::vector<CLogicalDriver::FirstUnitItem> items);

// Where a node of volume's results folder begins; false for any other node.
bool ResultStartOf(CLogicalDriver& volume, const CDirEntry& node, ResultStart& start);
