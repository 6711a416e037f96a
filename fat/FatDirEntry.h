// What one 32-byte folder entry says, read through its fixed-size view (fat/FATLayout.h).
//
// A long-name entry is told by its low six attribute bits being 0x0F; the folder walk looks
// at those bits alone. The lost-folder probes are stricter and want the attribute byte to
// be exactly 0x0F (fat/FatLostFolders.cpp).
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

}  // namespace fatdir
