#include "platform/BadAreas.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {
std::mutex g_policyMutex;
BadSectorPolicy g_policy;
// A failed read longer than this is not split into sectors (the readers read in pieces
// far smaller than this).
constexpr uint64_t kMaxSplitSectors = 2048;
}  // namespace

void SetBadSectorPolicy(const BadSectorPolicy& policy) {
  std::lock_guard lock(g_policyMutex);
  g_policy = policy;
  if (g_policy.nRetries < 0) g_policy.nRetries = 0;
}

BadSectorPolicy GetBadSectorPolicy() {
  std::lock_guard lock(g_policyMutex);
  return g_policy;
}

bool IsDeviceGoneError(int err) { return err == ENODEV || err == ENXIO || err == ENOMEDIUM; }

CBadAreas::CBadAreas(uint64_t deviceBytes, uint32_t sectorBytes)
    : m_nSectors(sectorBytes ? deviceBytes / sectorBytes : 0), m_nSectorBytes(sectorBytes ? sectorBytes : 512) {}

bool CBadAreas::Touches(uint64_t offset, uint64_t len) const {
  if (len == 0) return false;
  const uint64_t first = offset / m_nSectorBytes, last = (offset + len - 1) / m_nSectorBytes;
  std::lock_guard lock(m_mutex);
  auto it = m_bad.upper_bound(last);
  if (it == m_bad.begin()) return false;
  --it;
  return it->second > first;
}

bool CBadAreas::IsBadSector(uint64_t sector) const { return Touches(sector * m_nSectorBytes, 1); }

uint64_t CBadAreas::UnreadableSectors() const {
  std::lock_guard lock(m_mutex);
  uint64_t n = 0;
  for (const auto& [first, end] : m_bad) n += end - first;
  return n;
}

void CBadAreas::MarkLocked(uint64_t first, uint64_t end) {
  if (first >= end) return;
  // Merge with every interval that overlaps or touches [first, end).
  auto it = m_bad.upper_bound(first);
  if (it != m_bad.begin() && std::prev(it)->second >= first) --it;
  while (it != m_bad.end() && it->first <= end) {
    first = std::min(first, it->first);
    end = std::max(end, it->second);
    it = m_bad.erase(it);
  }
  m_bad.emplace(first, end);
  m_bAny.store(true, std::memory_order_release);
}

bool CBadAreas::Probe(uint64_t sector, const ReadAlone& read) {
  std::vector<uint8_t> buffer(m_nSectorBytes);
  errno = 0;
  if (read(sector * m_nSectorBytes, buffer.data(), m_nSectorBytes)) return true;
  if (IsDeviceGoneError(errno)) SetGone();
  return false;
}

void CBadAreas::NoteBadSector(uint64_t sector, const ReadAlone& read, const BadSectorPolicy& policy) {
  uint64_t runEnd, run;
  {
    std::lock_guard lock(m_mutex);
    MarkLocked(sector, sector + 1);
    if (sector == m_nRunEnd && m_nRunEnd > m_nRunStart) {
      m_nRunEnd = sector + 1;
    } else {
      m_nRunStart = sector;
      m_nRunEnd = sector + 1;
    }
    runEnd = m_nRunEnd;
    run = m_nRunEnd - m_nRunStart;
  }
  // The search runs when the run reaches the policy's length, and again every as many
  // sectors should the run go on past the end it found.
  if (policy.nSkipAfter == 0 || run < policy.nSkipAfter || (run - policy.nSkipAfter) % policy.nSkipAfter != 0) return;
  // The end of the bad area: probes at doubling distances until one reads...
  uint64_t lo = runEnd, hi = m_nSectors, step = policy.nSkipAfter;
  while (lo < hi) {
    const uint64_t x = hi - lo > step ? lo + step : hi - 1;
    if (Probe(x, read)) {
      hi = x;
      break;
    }
    if (IsGone()) return;
    lo = x + 1;
    if (step < (uint64_t(1) << 40)) step *= 2;
  }
  // ...then the first sector that reads, by bisection between the last failed probe and it.
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (Probe(mid, read)) {
      hi = mid;
    } else {
      if (IsGone()) return;
      lo = mid + 1;
    }
  }
  std::lock_guard lock(m_mutex);
  MarkLocked(runEnd, lo);
  if (m_nRunEnd == runEnd) m_nRunEnd = lo;
}

bool CBadAreas::AfterFailure(uint64_t offset, void* buffer, size_t len, int err, const ReadAlone& read) {
  if (IsDeviceGoneError(err)) {
    SetGone();
    return false;
  }
  if (len == 0 || m_nSectors == 0) return false;
  const uint64_t deviceBytes = m_nSectors * m_nSectorBytes;
  // Past the end is not a bad sector, and no retry reads it.
  if (offset >= deviceBytes || len > deviceBytes - offset) return false;
  const BadSectorPolicy policy = GetBadSectorPolicy();
  std::lock_guard search(m_searchMutex);
  // Another thread may have found the area meanwhile.
  if (IsGone() || Touches(offset, len)) return false;
  for (int r = 0; r < policy.nRetries; ++r) {
    errno = 0;
    if (read(offset, buffer, len)) {
      NoteGood(offset);
      return true;
    }
    if (IsDeviceGoneError(errno)) {
      SetGone();
      return false;
    }
  }
  // A bad sector, or a device that went away? The sector of the last good read must read
  // again: asked at the first failure after a good read, and at every 16th in a row.
  const uint64_t inRow = m_nFailuresInRow.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t good = m_nLastGood.load(std::memory_order_relaxed);
  if ((inRow == 1 || inRow % 16 == 0) && good != UINT64_MAX && good / m_nSectorBytes < m_nSectors &&
      !Probe(good / m_nSectorBytes, read)) {
    SetGone();
    return false;
  }
  const uint64_t first = offset / m_nSectorBytes, last = (offset + len - 1) / m_nSectorBytes;
  if (first == last) {
    NoteBadSector(first, read, policy);
    return false;
  }
  if (last - first + 1 > kMaxSplitSectors) return false;
  // Which of its sectors are bad: each read alone, once.
  for (uint64_t s = first; s <= last && !IsGone(); ++s) {
    if (IsBadSector(s) || Probe(s, read)) continue;
    if (IsGone()) break;
    NoteBadSector(s, read, policy);
  }
  return false;
}
