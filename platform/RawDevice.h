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
// Thread safety: reads from several threads are allowed. Each thread keeps its own
// window (of the device it read last), so the hot path takes no lock: a scan on a
// worker and browsing on the user-interface thread never contend. Handles are shared
// through std::shared_ptr: a lost volume or a virtual volume that borrows a disk's
// handle keeps it alive but never closes it itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <atomic>
#include <string>
#include <vector>

#include <sys/types.h>

class CBadAreas;

// The part of a thread's read-ahead window that the inline fast path of Read needs.
struct CReadWindowView {
  uint64_t nDeviceId = 0;
  uint64_t nBase = 0;
  size_t nValid = 0;
  const uint8_t* pData = nullptr;
};
extern constinit thread_local CReadWindowView t_readWindow;
// memcpy kept out of line: inlined with a size known at the call site, compilers emit a
// string-move instruction that is several times slower than the library's vector copy.
void CopyBytes(void* to, const void* from, size_t len);

class CRawDevice {
 public:
  static constexpr size_t kDefaultWindowBytes = 256u << 10;

  virtual ~CRawDevice();
  CRawDevice(const CRawDevice&) = delete;
  CRawDevice& operator=(const CRawDevice&) = delete;

  // Opens a block device or an image file read-only. On failure answers null and puts
  // a one-line reason (with the path) into *error.
  // A file holding a disk in a container (platform/ImageContainers.h) answers that disk,
  // unless openContainers is false: then every file is read as its own bytes, and nothing
  // is read at opening (the disk imager copies a failing source exactly once).
  static std::shared_ptr<CRawDevice> OpenPath(const std::string& path, std::string* error,
                                              bool openContainers = true);
  // A device over bytes held in memory (tests, fuzzers).
  static std::shared_ptr<CRawDevice> FromMemory(std::vector<uint8_t> bytes);
  // A view of [offset, offset + length) of another device (a partition of an image).
  static std::shared_ptr<CRawDevice> Slice(std::shared_ptr<CRawDevice> parent, uint64_t offset,
                                           uint64_t length);

  // Reads exactly len bytes at offset. False when any byte cannot be read (past the
  // end, I/O error); the buffer's content is then undefined.
  bool Read(uint64_t offset, void* buffer, size_t len) {
    // Served from this thread's window without a call when it holds the range.
    const CReadWindowView& w = t_readWindow;
    if (w.nDeviceId == m_nId && len != 0 && offset >= w.nBase && offset - w.nBase <= w.nValid &&
        len <= w.nValid - (offset - w.nBase) && buffer) {
      CopyBytes(buffer, w.pData + (offset - w.nBase), len);
      return true;
    }
    return ReadSlow(offset, buffer, len);
  }

  // Reads exactly len bytes at offset straight from the backing store: past the window,
  // without the bad-area memory and without falling back to smaller reads. The disk
  // imager decides itself how to split a failed read. On failure errno holds the backing
  // store's reason when it gave one (EIO, ENODEV, ...), else 0 (a read past the end).
  bool ReadUncached(uint64_t offset, void* buffer, size_t len);

  // A byte range of the device.
  struct ByteRange {
    uint64_t nOffset = 0;
    uint64_t nLength = 0;
  };
  // Whether WillRead does anything for this device: only then is it worth working out what
  // will be read.
  virtual bool TakesReadHints() const { return false; }
  // Tells the device that the ranges will be read soon, in this order (the next files of a
  // recovery). A device starts on them in the background: an image file or a disk has the
  // kernel read them into its page cache, an E01 inflates their chunks on its read-ahead thread.
  // Only a hint: nothing fails here, a range past the end is passed over, and reads answer as
  // they would without it. Nothing here.
  virtual void WillRead(const ByteRange* ranges, size_t count) {
    (void)ranges;
    (void)count;
  }

  // The len bytes at offset inside this thread's window, when it holds them; else null.
  const uint8_t* Peek(uint64_t offset, size_t len) const {
    const CReadWindowView& w = t_readWindow;
    if (w.nDeviceId == m_nId && len != 0 && offset >= w.nBase && offset - w.nBase <= w.nValid &&
        len <= w.nValid - (offset - w.nBase))
      return w.pData + (offset - w.nBase);
    return nullptr;
  }

  uint64_t Size() const { return m_nSize; }
  // The size of the whole source this device reads (a partition's disk; else Size()).
  virtual uint64_t SourceSize() const { return m_nSize; }
  // Logical sector size reported by the device; 512 for image files.
  uint32_t SectorSize() const { return m_nSectorSize; }
  const std::string& Path() const { return m_strPath; }
  bool IsBlockDevice() const { return m_bBlockDevice; }
  // The kind of container the disk is read out of ("EWF", "QCOW2", "VHDX", "VMDK", "split
  // raw", ...); null for a raw image, a block device or memory.
  virtual const char* ContainerName() const { return nullptr; }
  // For a block device its device number (what stat reports as st_dev for files on a
  // file system mounted from it); 0 for images and memory devices.
  dev_t DeviceNumber() const { return m_nDevNo; }

  // Whether the device stopped answering (unplugged): every read fails at once from then
  // on. The bad-sector policy (platform/BadAreas.h) decides it.
  bool IsGone() const;
  // Sectors found or counted unreadable by the bad-sector policy.
  uint64_t UnreadableSectors() const;

  void SetWindowBytes(size_t bytes);
  // Number of reads issued to the backing store (tests and benchmarks).
  uint64_t BackingReads() const { return m_nBackingReads.load(std::memory_order_relaxed); }
  // Number of reads that failed (an unreadable range, a range past the end); the GUI tells
  // the user when opening a folder made it grow.
  uint64_t FailedReads() const { return m_nFailedReads.load(std::memory_order_relaxed); }

 protected:
  CRawDevice(std::string path, uint64_t size);
  // Reads exactly len bytes at offset from the backing store, without the window.
  virtual bool ReadDirect(uint64_t offset, void* buffer, size_t len) = 0;
  bool ReadSlow(uint64_t offset, void* buffer, size_t len);
  bool ReadSlowUncounted(uint64_t offset, void* buffer, size_t len);
  // Whether reads of this device go through the window (memory and slices do not:
  // memory needs none, and a slice is served by its parent's).
  bool m_bUsesWindow = true;
  // Whether the device reads ahead of sequential readers itself (a container that decodes
  // its chunks on a thread of its own): a CScopedReadAhead then leaves its window fills
  // alone rather than stack a second read-ahead thread on the first.
  bool m_bReadsAhead = false;

  std::string m_strPath;
  uint64_t m_nSize = 0;
  uint32_t m_nSectorSize = 512;
  bool m_bBlockDevice = false;
  dev_t m_nDevNo = 0;

 private:
  friend class CScopedReadAhead;

  // The memory of unreadable areas, made at the first failed read.
  CBadAreas& BadAreas();
  std::once_flag m_badAreasOnce;
  std::unique_ptr<CBadAreas> m_pBadAreasOwner;
  std::atomic<CBadAreas*> m_pBadAreas{nullptr};
  std::atomic<uint64_t> m_nLastGood{UINT64_MAX};  // where the last read from the backing store succeeded

  const uint64_t m_nId;               // tells this device's window apart in a thread's cache
  size_t m_nWindowBytes = kDefaultWindowBytes;
  std::atomic<uint64_t> m_nBackingReads{0};
  std::atomic<uint64_t> m_nFailedReads{0};
};

using DeviceHandle = std::shared_ptr<CRawDevice>;

// While an object of this class lives on a thread, the windows that thread fills one after
// another on one device (a scan from front to back) are read ahead by a second thread, a
// few windows at a time: copying out of the page cache or the device overlaps the scan's
// own work. Only this thread's sequential window fills are served; lone reads, reads of
// other threads and the reads of a device that has failed a read since are untouched (a
// failing disk is never read twice over). Not copyable; one per thread at a time.
class CScopedReadAhead {
 public:
  CScopedReadAhead();
  ~CScopedReadAhead();
  CScopedReadAhead(const CScopedReadAhead&) = delete;
  CScopedReadAhead& operator=(const CScopedReadAhead&) = delete;

  class CState;

 private:
  // What CState needs of a device.
  static bool ReadBacking(CRawDevice& device, uint64_t offset, void* buffer, size_t len);
  static bool HasFailed(const CRawDevice& device);
  static uint64_t IdOf(const CRawDevice& device) { return device.m_nId; }

  std::unique_ptr<CState> m_pState;
};
