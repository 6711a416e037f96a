// The bad-sector policy of every reader (listing, recovery, deep scan, MFT read, preview,
// hex view), and the memory of a device's unreadable areas that carries it out.
//
// On a failing disk each read of a bad sector can take seconds before the drive gives up,
// so what costs time is the number of reads that touch bad sectors, not their size. The
// policy bounds that number:
//
// - a failed read is tried again at most nRetries times;
// - a failed read of several sectors is read again sector by sector, once, so that the
//   bad sectors themselves are known: every later read that touches one fails at once,
//   without asking the disk, and a reader that falls back to smaller reads gets the good
//   sectors around it;
// - after nSkipAfter unreadable sectors in a row, the end of the bad area is searched for
//   instead of being reached sector by sector: single-sector probes at growing distances
//   until one reads, then a bisection back to the first sector that reads. The sectors
//   between count as unreadable. A bad area of n sectors thus costs about nSkipAfter + 2
//   log2(n) failed reads; good sectors scattered inside a bad area may be counted with it;
// - a device that is gone (a read failed with ENODEV, ENXIO or ENOMEDIUM, or the sector of
//   the last good read fails too when it is read again after the first failure that
//   follows a good read, and after every 16th failure in a row) fails every read at once
//   from then on. The jobs ask IsGone() and end with a message instead of a flood of
//   failures. Telling a bad sector from a gone disk thus costs one good read.
//
// Imaging does not go through this: the disk imager reads past it (CRawDevice::ReadUncached)
// and keeps its own map.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

struct BadSectorPolicy {
  int nRetries = 1;          // further tries of a failed read (0: none)
  uint32_t nSkipAfter = 16;  // unreadable sectors in a row before the rest of the area is searched past (0: never)
};

// The policy every device follows (process-wide; the settings and the command-line flags set it).
void SetBadSectorPolicy(const BadSectorPolicy& policy);
BadSectorPolicy GetBadSectorPolicy();

// Whether a read's errno says the device itself went away.
bool IsDeviceGoneError(int err);

class CBadAreas {
 public:
  // Reads [offset, offset + len) from the backing store alone; false with errno on failure.
  using ReadAlone = std::function<bool(uint64_t offset, void* buffer, size_t len)>;

  CBadAreas(uint64_t deviceBytes, uint32_t sectorBytes);

  // Whether a read of [offset, offset + len) must fail without asking the device: the
  // device is gone, or the range touches a sector known to be unreadable. Lock-free while
  // nothing failed.
  bool Refuses(uint64_t offset, uint64_t len) const {
    if (m_bGone.load(std::memory_order_relaxed)) return true;
    if (!m_bAny.load(std::memory_order_acquire)) return false;
    return Touches(offset, len);
  }
  // Whether [offset, offset + len) touches a sector known to be unreadable (a read-ahead
  // window is not filled over one).
  bool Known(uint64_t offset, uint64_t len) const {
    return m_bAny.load(std::memory_order_acquire) && Touches(offset, len);
  }
  // A read at offset succeeded.
  void NoteGood(uint64_t offset) {
    m_nLastGood.store(offset, std::memory_order_relaxed);
    m_nFailuresInRow.store(0, std::memory_order_relaxed);
  }
  // The read of [offset, offset + len) into buffer failed with err: applies the policy
  // (retries, the sectors found one by one, the search past a bad area, the gone check)
  // through read. Answers true when a retry read the range after all.
  bool AfterFailure(uint64_t offset, void* buffer, size_t len, int err, const ReadAlone& read);

  bool IsGone() const { return m_bGone.load(std::memory_order_relaxed); }
  // Sectors known or counted unreadable.
  uint64_t UnreadableSectors() const;

 private:
  bool Touches(uint64_t offset, uint64_t len) const;
  bool IsBadSector(uint64_t sector) const;
  // Marks [first, end) unreadable (m_mutex held).
  void MarkLocked(uint64_t first, uint64_t end);
  // A sector failed: remembers it, follows the run it belongs to, and searches past the
  // area when the run reaches the policy's length.
  void NoteBadSector(uint64_t sector, const ReadAlone& read, const BadSectorPolicy& policy);
  // One sector read alone; notes a gone device.
  bool Probe(uint64_t sector, const ReadAlone& read);
  void SetGone() { m_bGone.store(true, std::memory_order_relaxed); }

  const uint64_t m_nSectors;
  const uint32_t m_nSectorBytes;
  std::atomic<bool> m_bGone{false};
  std::atomic<bool> m_bAny{false};
  std::atomic<uint64_t> m_nLastGood{UINT64_MAX};
  std::atomic<uint64_t> m_nFailuresInRow{0};  // failed reads since the last good one
  mutable std::mutex m_mutex;
  std::map<uint64_t, uint64_t> m_bad;  // first sector -> end sector, merged
  uint64_t m_nRunStart = 0, m_nRunEnd = 0;  // the run of unreadable sectors being followed
  std::mutex m_searchMutex;  // one failure handled at a time (the search reads)
};
