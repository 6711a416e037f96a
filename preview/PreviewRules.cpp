#include "preview/PreviewRules.h"

uint64_t PreviewByteLimit(uint32_t largeFileMiB) { return uint64_t(largeFileMiB) << 20; }

bool CanPreviewSize(uint64_t size, uint32_t largeFileMiB) {
  return size < (uint64_t(1) << 32) && size <= PreviewByteLimit(largeFileMiB);
}
