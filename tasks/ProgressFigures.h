// The figures a progress display shows for a long job (a deep scan, a lost-volume search,
// a recovery, an image copy): the fraction done, the bytes done of the bytes to do, the
// rate, the time since the start and the time left, and the two number formats both front
// ends print them in. The words around the figures belong to the front ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct ProgressFigures {
  double dFraction = 0;         // 0 to 1
  uint64_t nBytesDone = 0;
  uint64_t nBytesTotal = 0;
  double dBytesPerSecond = 0;   // 0 until a rate can be told
  double dElapsedSeconds = 0;
  double dRemainingSeconds = -1;  // -1 while unknown
};

// Measures a job from its start. Figures() computes the rate over the whole run, and the
// time left only once the job has run kMinSecondsForEstimate and done some of its work, so
// the first noisy readings are not shown as a forecast.
class CProgressClock {
 public:
  static constexpr double kMinSecondsForEstimate = 1.0;
  using Clock = std::chrono::steady_clock;

  CProgressClock() : m_start(Clock::now()) {}
  void Restart() { m_start = Clock::now(); }
  double ElapsedSeconds(Clock::time_point now = Clock::now()) const;
  // done of total units of unitBytes bytes each; done beyond total counts as total.
  ProgressFigures Figures(uint64_t doneUnits, uint64_t totalUnits, uint64_t unitBytes,
                          Clock::time_point now = Clock::now()) const;

 private:
  Clock::time_point m_start;
};

// The figures for a job that has done doneBytes of totalBytes in elapsedSeconds.
ProgressFigures ComputeProgressFigures(uint64_t doneBytes, uint64_t totalBytes, double elapsedSeconds);

// "512 B", "1.5 KiB", "20.0 MiB", "3.25 GiB", "1.50 TiB" (binary units, as the sizes of
// disks are given elsewhere in the program).
std::string FormatByteCount(uint64_t bytes);
// "00:01:05", "27:46:40"; "--:--:--" for a negative (unknown) time.
std::string FormatDuration(double seconds);
