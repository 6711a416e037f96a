#include "cli/ScanProgress.h"

#include <cstdio>
#include <unistd.h>

#include <fmt/format.h>

#include "device/Driver.h"
#include "tasks/ProgressFigures.h"
#include "tree/DirEntry.h"

CScanProgress::CScanProgress(const CDriver& device, std::string what)
    : m_device(device), m_strWhat(std::move(what)), m_bTerminal(::isatty(2)),
      m_nUnitBytes(device.m_nBytesPerCluster), m_start(std::chrono::steady_clock::now()) {}

void CScanProgress::SetRange(uint64_t first, uint64_t last, uint32_t unitBytes) {
  std::lock_guard lock(m_mutex);
  m_nFirst = first;
  m_nLast = last;
  m_nUnitBytes = unitBytes;
}

int64_t CScanProgress::Send(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (message != WM_SCANPROGRESS) return 0;
  std::lock_guard lock(m_mutex);
  if (wParam == SCAN_STARTED) {
    m_nFirst = m_device.m_nFirstUnit;
    m_nLast = m_device.m_nLastUnit;
    m_nPosition = m_nFirst;
    m_start = std::chrono::steady_clock::now();
  } else if (wParam == SCAN_POSITION) {
    m_nPosition = static_cast<uint64_t>(lParam);
    Draw(false);
  }
  return 0;
}

void CScanProgress::Draw(bool force) {
  if (!m_bTerminal) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && m_bDrawn && now - m_lastDraw < std::chrono::milliseconds(100)) return;
  m_lastDraw = now;
  m_bDrawn = true;
  uint64_t total = m_nLast >= m_nFirst ? m_nLast - m_nFirst + 1 : 0;
  uint64_t done = m_nPosition >= m_nFirst ? m_nPosition - m_nFirst + 1 : 0;
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  const ProgressFigures f = ComputeProgressFigures(done * m_nUnitBytes, total * m_nUnitBytes, seconds);
  std::fprintf(stderr, "\r%s unit %llu of %llu (%.1f%%), %s of %s, %s/s, %s elapsed, ETA %s, %llu found   ",
               m_strWhat.c_str(), (unsigned long long)m_nPosition, (unsigned long long)m_nLast, f.dFraction * 100.0,
               FormatByteCount(f.nBytesDone).c_str(), FormatByteCount(f.nBytesTotal).c_str(),
               FormatByteCount(uint64_t(f.dBytesPerSecond)).c_str(), FormatDuration(f.dElapsedSeconds).c_str(),
               FormatDuration(f.dRemainingSeconds).c_str(),
               (unsigned long long)(m_pResults ? m_pResults->m_children.size() : 0));
  std::fflush(stderr);
}

void CScanProgress::Finish() {
  std::lock_guard lock(m_mutex);
  if (m_bDrawn) {
    Draw(true);
    std::fputc('\n', stderr);
  }
}
