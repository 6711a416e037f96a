#include "tasks/ProgressFigures.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

double CProgressClock::ElapsedSeconds(Clock::time_point now) const {
  return std::max(0.0, std::chrono::duration<double>(now - m_start).count());
}

ProgressFigures CProgressClock::Figures(uint64_t doneUnits, uint64_t totalUnits, uint64_t unitBytes,
                                        Clock::time_point now) const {
  auto bytes = [unitBytes](uint64_t units) {
    uint64_t product = 0;
    return __builtin_mul_overflow(units, unitBytes, &product) ? UINT64_MAX : product;
  };
  const uint64_t total = bytes(totalUnits);
  const uint64_t done = bytes(std::min(doneUnits, totalUnits));
  return ComputeProgressFigures(done, total, ElapsedSeconds(now));
}

ProgressFigures ComputeProgressFigures(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds) {
  ProgressFigures f;
  f.nBytesTotal = totalBytes;
  f.nBytesDone = std::min(doneBytes, totalBytes);
  f.dElapsedSeconds = std::max(0.0, elapsedSeconds);
  f.dFraction = totalBytes ? double(f.nBytesDone) / double(totalBytes) : 1.0;
  if (f.dElapsedSeconds > 0 && f.nBytesDone > 0) f.dBytesPerSecond = double(f.nBytesDone) / f.dElapsedSeconds;
  if (f.nBytesDone >= totalBytes)
    f.dRemainingSeconds = 0;
  else if (f.dElapsedSeconds >= CProgressClock::kMinSecondsForEstimate && f.dBytesPerSecond > 0)
    f.dRemainingSeconds = double(totalBytes - f.nBytesDone) / f.dBytesPerSecond;
  return f;
}

std::string FormatByteCount(uint64_t bytes) {
  if (bytes < 1024) return fmt::format("{} B", bytes);
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = double(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit + 1 < int(std::size(kUnits))) {
    value /= 1024;
    ++unit;
  }
  // Two decimals from GiB on: a disk's size of "931.51 GiB" is told apart from its neighbour.
  return unit >= 2 ? fmt::format("{:.2f} {}", value, kUnits[unit]) : fmt::format("{:.1f} {}", value, kUnits[unit]);
}

std::string FormatDuration(double seconds) {
  if (seconds < 0 || !std::isfinite(seconds)) return "--:--:--";
  const auto t = static_cast<uint64_t>(std::min(seconds, 1e15));
  return fmt::format("{:02}:{:02}:{:02}", t / 3600, t / 60 % 60, t % 60);
}
