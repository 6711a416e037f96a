// The command line's progress window: a progress line on stderr (units, rate, ETA) while
// a scan runs, redrawn at most ten times a second and only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "tasks/Progress.h"

class CDriver;

class CScanProgress : public IProgressWindow {
 public:
  // unitBytes: bytes per unit, for the rate; what: the line's first word.
  CScanProgress(const CDriver& device, std::string what);
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override;
  // The range shown when the operation does not announce it (WM_SCANPROGRESS 0).
  void SetRange(uint64_t first, uint64_t last, uint32_t unitBytes);
  // Ends the progress line (a newline when one was drawn).
  void Finish();
  // The last unit reported.
  uint64_t Position() const { return m_nPosition; }
  // The folder whose child count is shown as "N found" (read on the scanning thread).
  void SetResultsFolder(const class CDirectory* folder) { m_pResults = folder; }

 private:
  void Draw(bool force);
  const CDriver& m_device;
  std::string m_strWhat;
  bool m_bTerminal;
  bool m_bDrawn = false;
  std::mutex m_mutex;
  const class CDirectory* m_pResults = nullptr;
  uint64_t m_nFirst = 0, m_nLast = 0, m_nPosition = 0;
  uint32_t m_nUnitBytes = 0;
  std::chrono::steady_clock::time_point m_start, m_lastDraw;
};
