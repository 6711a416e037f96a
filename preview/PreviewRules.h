// When a file may be previewed: the one rule the preview pane, the main window's automatic
// preview and the copy into memory all follow.
#pragma once

#include <cstdint>

// The most bytes a preview reads: the PreviewLargeFile setting, in MiB.
uint64_t PreviewByteLimit(uint32_t largeFileMiB);

// Whether a file of size bytes may be previewed under that setting: at most the limit, and
// below 4 GiB whatever the limit (a preview holds the whole file in memory).
bool CanPreviewSize(uint64_t size, uint32_t largeFileMiB);
