// A device over bytes in memory whose sectors fail the way a dying disk's do, for the tests
// of every reader: bad sectors that always fail with EIO, flaky ones that succeed only on a
// later try, and a disconnect point after which every read fails (ENODEV, or EIO as many
// USB bridges answer). It keeps count of the reads that reached it, per sector too, so a
// test can tell how often a bad area was touched and that nothing was read twice.
//
// Reads go through CRawDevice's ordinary read path (the read-ahead window and the bad-area
// memory) exactly as an image file's do.
#pragma once

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/RawDevice.h"

class CFaultyDevice final : public CRawDevice {
 public:
  static constexpr uint64_t kSector = 512;

  explicit CFaultyDevice(std::vector<uint8_t> bytes, std::string path = "<faulty device>")
      : CRawDevice(std::move(path), bytes.size()), m_bytes(std::move(bytes)) {}

  // Sectors [first, first + count) fail every read.
  void AddBad(uint64_t first, uint64_t count) {
    std::lock_guard lock(m_mutex);
    for (uint64_t s = first; s < first + count; ++s) m_bad.insert(s);
  }
  // Sectors [first, first + count) fail their first `failures` reads, then read well.
  void AddFlaky(uint64_t first, uint64_t count, int failures) {
    std::lock_guard lock(m_mutex);
    for (uint64_t s = first; s < first + count; ++s) m_flaky[s] = failures;
  }
  // After `reads` more reads every read fails with err ("the USB stick was pulled").
  void DisconnectAfter(uint64_t reads, int err = ENODEV) {
    std::lock_guard lock(m_mutex);
    m_nDisconnectAt = m_nReads + reads;
    m_nDisconnectErrno = err;
  }

  uint64_t Reads() const {
    std::lock_guard lock(m_mutex);
    return m_nReads;
  }
  // Reads that touched a bad, flaky-and-failing or disconnected sector (each would cost a
  // real disk seconds).
  uint64_t FailedReads() const {
    std::lock_guard lock(m_mutex);
    return m_nFailed;
  }
  // How many reads covered the sector.
  uint64_t ReadsOfSector(uint64_t s) const {
    std::lock_guard lock(m_mutex);
    auto it = m_perSector.find(s);
    return it == m_perSector.end() ? 0 : it->second;
  }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    std::lock_guard lock(m_mutex);
    ++m_nReads;
    if (offset > m_bytes.size() || len > m_bytes.size() - offset) {
      errno = 0;
      return false;
    }
    const uint64_t first = offset / kSector, last = (offset + len - 1) / kSector;
    for (uint64_t s = first; s <= last; ++s) ++m_perSector[s];
    if (m_nReads > m_nDisconnectAt) {
      ++m_nFailed;
      errno = m_nDisconnectErrno;
      return false;
    }
    bool fail = false;
    for (auto it = m_bad.lower_bound(first); it != m_bad.end() && *it <= last; ++it) fail = true;
    for (auto it = m_flaky.lower_bound(first); it != m_flaky.end() && it->first <= last; ++it)
      if (it->second > 0) {
        --it->second;
        fail = true;
      }
    if (fail) {
      ++m_nFailed;
      errno = EIO;
      return false;
    }
    std::memcpy(buffer, m_bytes.data() + offset, len);
    return true;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<uint8_t> m_bytes;
  std::set<uint64_t> m_bad;
  std::map<uint64_t, int> m_flaky;
  std::map<uint64_t, uint64_t> m_perSector;
  uint64_t m_nReads = 0, m_nFailed = 0;
  uint64_t m_nDisconnectAt = UINT64_MAX;
  int m_nDisconnectErrno = ENODEV;
};
