// Read-only access to a device or image: the one read path of the program.
//
// A CRawDevice answers "read n bytes at byte offset o" with all-or-nothing success. It
// is never opened for writing. Reads go through an aligned read-ahead window so that
// unit-by-unit scans over 512-byte sectors or small clusters cost large sequential reads
// instead of one system call per unit. When filling the window fails (a bad area, or an
// image shorter than it claims), the requested range alone is read, so one unreadable
// sector fails only the reads that contain it; the failed window is remembered and its
// area is then read range by range.
//
// Thread safety: reads from several threads are allowed; the window is guarded by a
// mutex. Handles are shared through std::shared_ptr: a lost volume or a virtual volume
// that borrows a disk's handle keeps it alive but never closes it itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <sys/types.h>

class CRawDevice {
 public:
  static constexpr size_t kDefaultWindowBytes = 1u << 20;

  virtual ~CRawDevice();
  CRawDevice(const CRawDevice&) = delete;
  CRawDevice& operator=(const CRawDevice&) = delete;

  // Opens a block device or an image file read-only. On failure answers null and puts
  // a one-line reason (with the path) into *error.
  static std::shared_ptr<CRawDevice> OpenPath(const std::string& path, std::string* error);
  // A device over bytes held in memory (tests, fuzzers).
  static std::shared_ptr<CRawDevice> FromMemory(std::vector<uint8_t> bytes);
  // A view of [offset, offset + length) of another device (a partition of an image).
  static std::shared_ptr<CRawDevice> Slice(std::shared_ptr<CRawDevice> parent, uint64_t offset,
                                           uint64_t length);

  // Reads exactly len bytes at offset. False when any byte cannot be read (past the
  // end, I/O error); the buffer's content is then undefined.
  bool Read(uint64_t offset, void* buffer, size_t len);

  uint64_t Size() const { return m_nSize; }
  // Logical sector size reported by the device; 512 for image files.
  uint32_t SectorSize() const { return m_nSectorSize; }
  const std::string& Path() const { return m_strPath; }
  bool IsBlockDevice() const { return m_bBlockDevice; }
  // For a block device its device number (what stat reports as st_dev for files on a
  // file system mounted from it); 0 for images and memory devices.
  dev_t DeviceNumber() const { return m_nDevNo; }

  void SetWindowBytes(size_t bytes);
  // Number of reads issued to the backing store (tests and benchmarks).
  uint64_t BackingReads() const { return m_nBackingReads; }

 protected:
  CRawDevice(std::string path, uint64_t size);
  // Reads exactly len bytes at offset from the backing store, without the window.
  virtual bool ReadDirect(uint64_t offset, void* buffer, size_t len) = 0;
  // Whether reads of this device go through the window (memory and slices do not:
  // memory needs none, and a slice is served by its parent's).
  bool m_bUsesWindow = true;

  std::string m_strPath;
  uint64_t m_nSize = 0;
  uint32_t m_nSectorSize = 512;
  bool m_bBlockDevice = false;
  dev_t m_nDevNo = 0;

 private:
  bool FillWindow(uint64_t base);

  // A spin lock rather than a mutex: the window is held for one memcpy of a unit, and
  // scans take it millions of times; contention (a second reader thread) is rare.
  class CSpinLock {
   public:
    void lock() {
      while (m_flag.test_and_set(std::memory_order_acquire))
        while (m_flag.test(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() { m_flag.clear(std::memory_order_release); }

   private:
    std::atomic_flag m_flag;
  };
  CSpinLock m_mutex;
  std::vector<uint8_t> m_window;
  size_t m_nWindowBytes = kDefaultWindowBytes;
  uint64_t m_nWindowBase = 0;
  size_t m_nWindowValid = 0;          // bytes of m_window that hold data from m_nWindowBase
  uint64_t m_nBadWindowBase = UINT64_MAX;  // base of the last window whose fill failed
  uint64_t m_nBackingReads = 0;
};

using DeviceHandle = std::shared_ptr<CRawDevice>;
