#include "preview/PreviewRules.h"

#include <algorithm>

namespace {
constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kLargestPreview = (uint64_t(1) << 32) - 1;
}  // namespace

uint64_t PreviewByteLimit(uint32_t largeFileMiB) { return std::min(uint64_t(largeFileMiB) * kMiB, kLargestPreview); }

bool CanPreviewSize(uint64_t size, uint32_t largeFileMiB) { return size <= PreviewByteLimit(largeFileMiB); }
