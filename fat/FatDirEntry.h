// What one 32-byte folder entry says, read through its fixed-size view (fat/FATLayout.h).
//
// A long-name entry is told by its low six attribute bits being 0x0F; the folder walk looks
// at those bits alone. The lost-folder probes are stricter and want the attribute byte to
// be exactly 0x0F (fat/FatLostFolders.cpp).
//
// The plausibility rules for an entry's fields (times, dates, name bytes) are kept here, for
// the lost-folder probes and for the check that decides how far a deleted folder reaches.
#pragma once

#include <cstdint>

#include "fat/FATLayout.h"

namespace fatdir {

inline bool IsLongNameEntry(FatDirEntryBytes e) { return (e[kAttributes] & kAttrLongNameMask) == kAttrLongName; }

// A long-name entry whose always-zero cluster word is 0: one that may belong to a run.
inline bool IsLongNamePart(FatDirEntryBytes e) {
  return IsLongNameEntry(e) && fatlayout::LE16<kLfnZero>(e) == 0;
}

// The first entry of a run on disk: it holds the end of the name.
inline bool IsLongNameStart(FatDirEntryBytes e) { return IsLongNamePart(e) && (e[kLfnSequence] & kLfnLast); }

inline uint64_t FirstCluster(FatDirEntryBytes e) {
  return (uint64_t(fatlayout::LE16<kClusterHigh>(e)) << 16) | fatlayout::LE16<kClusterLow>(e);
}

// A time word that exists (0 included: no time), at two-second resolution.
inline bool ValidTime(uint16_t t) { return t == 0 || ((t & 0x1F) <= 29 && ((t >> 5) & 0x3F) <= 59 && (t >> 11) <= 23); }
// A date word that exists: 0 (no date), or a day 1-31 of a month 0-12 that is not month 0
// of 1980.
inline bool ValidDate(uint16_t d) {
  if (d == 0) return true;
  unsigned day = d & 0x1F, month = (d >> 5) & 0x0F, year = d >> 9;
  return day >= 1 && month <= 12 && !(month == 0 && year == 0);
}

// Characters a short name never holds (the full stop included: it only separates the
// extension in the text form).
inline bool ForbiddenInName(uint8_t b) {
  switch (b) {
    case 0x22: case 0x2A: case 0x2B: case 0x2C: case 0x2E: case 0x2F: case 0x3A: case 0x3B: case 0x3C:
    case 0x3D: case 0x3E: case 0x3F: case 0x5B: case 0x5C: case 0x5D: case 0x7C:
      return true;
    default:
      return false;
  }
}

// Why 32 bytes inside a folder are, or are not, an entry a folder may hold after its first
// cluster. Deleted entries (first byte 0xE5) are judged by the same rules as live ones.
enum class FatEntryCheck {
  Ok,
  EndMark,            // first byte 0x00: the folder ends here
  DotEntry,           // "." or "..": the start of a folder
  BadAttributes,      // bits 0x40/0x80, a volume label, or a long-name entry with other bits
  BadLongName,        // a long-name entry with a cluster, a type, or an ordinal outside 1-20
  BadName,            // a control or forbidden character, or a space first
  ClusterOutOfRange,  // a first cluster outside 2..count+1 (0 only for an empty file)
  BadSize,            // a folder with a size, or a file larger than the data area
  BadTime,            // a time, date or creation hundredth that does not exist
};

// Judges one entry of a folder's later cluster against a volume of clusterCount clusters
// and a data area of dataBytes bytes.
FatEntryCheck CheckFolderEntry(FatDirEntryBytes e, uint64_t clusterCount, uint64_t dataBytes);

}  // namespace fatdir
