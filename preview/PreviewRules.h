// Which files the preview pane reads: the one size rule of the program, shared by the file
// lists (which ask for a preview) and the pane (which reads the file into memory).
//
// The limit is the "Don't preview file more than" setting, in MiB, passed in by the caller.
// Whatever the setting says, a preview never reads 4 GiB or more: the lists never asked for
// such files, and the pane holds the whole file in memory.
#pragma once

#include <cstdint>

// The largest number of bytes a preview reads: largeFileMiB MiB, at most 2^32 - 1.
uint64_t PreviewByteLimit(uint32_t largeFileMiB);

// Whether a file of size bytes is small enough to preview: size <= PreviewByteLimit.
bool CanPreviewSize(uint64_t size, uint32_t largeFileMiB);
