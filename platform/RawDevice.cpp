#include "platform/RawDevice.h"

#include "platform/BadAreas.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <memory>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/DeviceAccess.h"
#include "platform/ImageContainers.h"

namespace {

class CFileDevice final : public CRawDevice {
 public:
  CFileDevice(std::string path, int fd, uint64_t size) : CRawDevice(std::move(path), size), m_fd(fd) {}
  ~CFileDevice() override { ::close(m_fd); }
  void SetBlockInfo(uint32_t sectorSize, dev_t devNo) {
    m_bBlockDevice = true;
    m_nSectorSize = sectorSize;
    m_nDevNo = devNo;
  }
  // The kernel reads the ranges into its page cache in the background while the files before
  // them are written (a disk gets them queued together, and can order them). A device that
  // has failed a read is not read ahead: a bad area would be read twice over.
  bool TakesReadHints() const override { return true; }
  void WillRead(const ByteRange* ranges, size_t count) override {
    if (FailedReads() != 0) return;
    for (size_t i = 0; i < count; ++i)
      if (ranges[i].nOffset < m_nSize)
        ::posix_fadvise(m_fd, static_cast<off_t>(ranges[i].nOffset),
                        static_cast<off_t>(std::min(ranges[i].nLength, m_nSize - ranges[i].nOffset)),
                        POSIX_FADV_WILLNEED);
  }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    auto* out = static_cast<uint8_t*>(buffer);
    while (len > 0) {
      ssize_t n = ::pread(m_fd, out, len, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;  // past the end: the image is shorter than claimed
      out += n;
      offset += static_cast<uint64_t>(n);
      len -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int m_fd;
};

class CMemoryDevice final : public CRawDevice {
 public:
  explicit CMemoryDevice(std::vector<uint8_t> bytes)
      : CRawDevice("<memory>", bytes.size()), m_bytes(std::move(bytes)) {
    m_bUsesWindow = false;
  }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_bytes.size() || len > m_bytes.size() - offset) return false;
    std::memcpy(buffer, m_bytes.data() + offset, len);
    return true;
  }

 private:
  std::vector<uint8_t> m_bytes;
};

class CSliceDevice final : public CRawDevice {
 public:
  CSliceDevice(std::shared_ptr<CRawDevice> parent, uint64_t offset, uint64_t length)
      : CRawDevice(parent->Path(), length), m_parent(std::move(parent)), m_nOffset(offset) {
    m_nSectorSize = m_parent->SectorSize();
    m_bBlockDevice = m_parent->IsBlockDevice();
    m_nDevNo = m_parent->DeviceNumber();
    m_bUsesWindow = false;
  }
  const char* ContainerName() const override { return m_parent->ContainerName(); }
  uint64_t SourceSize() const override { return m_parent->SourceSize(); }
  bool TakesReadHints() const override { return m_parent->TakesReadHints(); }
  void WillRead(const ByteRange* ranges, size_t count) override {
    std::vector<ByteRange> shifted;
    shifted.reserve(count);
    for (size_t i = 0; i < count; ++i)
      if (ranges[i].nOffset < m_nSize)
        shifted.push_back({m_nOffset + ranges[i].nOffset, std::min(ranges[i].nLength, m_nSize - ranges[i].nOffset)});
    if (!shifted.empty()) m_parent->WillRead(shifted.data(), shifted.size());
  }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_nSize || len > m_nSize - offset) return false;
    return m_parent->Read(m_nOffset + offset, buffer, len);
  }

 private:
  std::shared_ptr<CRawDevice> m_parent;
  uint64_t m_nOffset;
};

}  // namespace

namespace {
// One read-ahead window per thread: the device it belongs to, its bytes, and the base
// of the last window whose fill failed (read range by range from then on).
// Page-aligned storage: the kernel copies into an aligned buffer markedly faster.
struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
// A thread's read-ahead windows. A folder listing moves between a folder's sectors, the
// allocation table and the first cluster of each deleted file; with several windows
// these stay in memory side by side instead of refilling one window at every switch.
constexpr int kWindowsPerThread = 4;
struct Window {
  std::unique_ptr<uint8_t, AlignedFree> bytes;
  size_t nCapacity = 0;
  CReadWindowView view;
  uint64_t nLastUse = 0;
};
struct ThreadWindows {
  Window windows[kWindowsPerThread];
  uint64_t nClock = 0;
  uint64_t nBadDeviceId = 0;
  uint64_t nBadBase = UINT64_MAX;
  uint64_t nNearDevice = 0;
  uint64_t nNear[4] = {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
  int nNearNext = 0;
};
thread_local ThreadWindows t_windows;
std::atomic<uint64_t> g_nNextDeviceId{1};
}  // namespace

constinit thread_local CReadWindowView t_readWindow;

// --- Read-ahead for a thread's sequential window fills ------------------------------------

class CScopedReadAhead::CState {
 public:
  // How many windows are read ahead of the one asked for.
  static constexpr int kDepth = 4;
  enum class Answer { NotServed, Served, Failed };

  CState() : m_worker([this] { Work(); }) {}
  ~CState() {
    {
      std::lock_guard lock(m_mutex);
      m_bStop = true;
    }
    m_wake.notify_all();
    m_worker.join();
  }

  // The window [base, base + want) of device is due in buffer (capacity bytes, at least the
  // device's window size). Served: its bytes are in buffer (the buffers were swapped);
  // Failed: reading it failed (the caller reads the range alone); NotServed: the caller
  // reads it. Either way the windows after it are asked for when the fills run in order.
  Answer Serve(CRawDevice& device, uint64_t base, size_t want, size_t windowBytes, uint64_t size,
               std::unique_ptr<uint8_t, AlignedFree>& buffer, size_t& capacity) {
    std::unique_lock lock(m_mutex);
    const uint64_t id = IdOf(device);
    if (HasFailed(device)) {
      // A device that failed a read is not read ahead any more.
      if (id == m_nDevice) {
        DropAll(lock);
        m_nDevice = 0;
        m_pDevice = nullptr;
      }
      return Answer::NotServed;
    }
    if (id != m_nDevice || windowBytes != m_nWindowBytes) {
      // Another device's fills take the read-ahead over once they run in order; a lone fill
      // (the thread reads another device in between) leaves what was read ahead alone.
      const bool otherInOrder = id == m_nOtherDevice && base == m_nOtherLastBase + windowBytes;
      m_nOtherDevice = id;
      m_nOtherLastBase = base;
      if (!otherInOrder) return Answer::NotServed;
      DropAll(lock);
      m_nDevice = id;
      m_pDevice = &device;
      m_nWindowBytes = windowBytes;
      m_nLastBase = base - windowBytes;  // this fill is in order: the next windows are asked for
    }
    const bool inOrder = m_nLastBase != UINT64_MAX && base == m_nLastBase + windowBytes;
    m_nLastBase = base;
    Answer answer = Answer::NotServed;
    for (Slot& slot : m_slots) {
      if (slot.state == State::Free || slot.nBase != base || slot.nLen != want) continue;
      if (slot.state == State::Wanted) {
        slot.state = State::Free;  // not started: read here at once rather than wait
        break;
      }
      if (slot.state == State::Reading) {
        // The window is on its way (a copy takes tens of microseconds): look again for a
        // short while before sleeping, which would cost two system calls per window.
        lock.unlock();
        for (int spin = 0; spin < kSpins && slot.state.load(std::memory_order_acquire) == State::Reading; ++spin) Pause();
        lock.lock();
      }
      m_done.wait(lock, [&] { return slot.state != State::Reading; });
      if (slot.state == State::Ready && slot.nCapacity >= windowBytes) {
        buffer.swap(slot.bytes);
        std::swap(capacity, slot.nCapacity);
        answer = Answer::Served;
      } else if (slot.state == State::Failed) {
        answer = Answer::Failed;
      }
      slot.state = State::Free;
      break;
    }
    if (answer == Answer::Failed) {
      DropAll(lock);
      m_nDevice = 0;
      m_pDevice = nullptr;
      return answer;
    }
    if (inOrder || answer == Answer::Served) Ask(base, windowBytes, size);
    return answer;
  }

 private:
  enum class State { Free, Wanted, Reading, Ready, Failed };
  static constexpr int kSpins = 4000;
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }
  struct Slot {
    std::atomic<State> state{State::Free};  // written under the mutex; read alone while spinning
    uint64_t nBase = 0;
    size_t nLen = 0;
    std::unique_ptr<uint8_t, AlignedFree> bytes;
    size_t nCapacity = 0;
  };

  // Asks for the kDepth windows after base that are not yet asked for; slots holding
  // windows behind base are given up.
  void Ask(uint64_t base, size_t windowBytes, uint64_t size) {
    for (Slot& slot : m_slots)
      if ((slot.state == State::Wanted || slot.state == State::Ready || slot.state == State::Failed) &&
          slot.nBase <= base)
        slot.state = State::Free;
    bool asked = false;
    for (int k = 1; k <= kDepth; ++k) {
      const uint64_t next = base + uint64_t(k) * windowBytes;
      if (next >= size || next < base) break;
      bool known = false;
      for (const Slot& slot : m_slots) known |= slot.state != State::Free && slot.nBase == next;
      if (known) continue;
      Slot* free = nullptr;
      for (Slot& slot : m_slots)
        if (slot.state == State::Free) {
          free = &slot;
          break;
        }
      if (!free) break;
      free->nBase = next;
      free->nLen = static_cast<size_t>(std::min<uint64_t>(size - next, windowBytes));
      free->state = State::Wanted;
      asked = true;
    }
    if (asked) m_wake.notify_one();
  }

  // Gives up every window asked for or read, waiting for a read under way.
  void DropAll(std::unique_lock<std::mutex>& lock) {
    m_done.wait(lock, [&] {
      for (const Slot& slot : m_slots)
        if (slot.state == State::Reading) return false;
      return true;
    });
    for (Slot& slot : m_slots) slot.state = State::Free;
  }

  void Work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      Slot* next = nullptr;
      m_wake.wait(lock, [&] {
        if (m_bStop) return true;
        for (Slot& slot : m_slots)
          if (slot.state == State::Wanted && (!next || slot.nBase < next->nBase)) next = &slot;
        return next != nullptr;
      });
      if (m_bStop) return;
      CRawDevice* device = m_pDevice;
      next->state = State::Reading;
      if (next->nCapacity < m_nWindowBytes) {
        next->bytes.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, (m_nWindowBytes + 4095) & ~size_t(4095))));
        next->nCapacity = next->bytes ? m_nWindowBytes : 0;
      }
      const uint64_t base = next->nBase;
      const size_t len = next->nLen;
      uint8_t* into = next->bytes.get();
      lock.unlock();
      const bool ok = into && device && ReadBacking(*device, base, into, len);
      lock.lock();
      next->state = ok ? State::Ready : State::Failed;
      // A failed read is the last one read ahead: the device has a bad area or is gone,
      // and it is read only as asked from now on.
      if (!ok)
        for (Slot& slot : m_slots)
          if (slot.state == State::Wanted) slot.state = State::Free;
      m_done.notify_all();
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_wake, m_done;
  Slot m_slots[kDepth];
  uint64_t m_nDevice = 0;  // the device whose windows are read ahead (its id), 0 for none
  CRawDevice* m_pDevice = nullptr;
  size_t m_nWindowBytes = 0;
  uint64_t m_nLastBase = UINT64_MAX;
  uint64_t m_nOtherDevice = 0;  // the last other device whose window this thread filled
  uint64_t m_nOtherLastBase = UINT64_MAX;
  bool m_bStop = false;
  std::thread m_worker;  // last: started once the rest is made
};

namespace {
thread_local CScopedReadAhead::CState* t_readAhead = nullptr;
}  // namespace

CScopedReadAhead::CScopedReadAhead() {
  if (t_readAhead) return;  // one per thread: an inner one leaves the outer at work
  m_pState = std::make_unique<CState>();
  t_readAhead = m_pState.get();
}

CScopedReadAhead::~CScopedReadAhead() {
  if (m_pState && t_readAhead == m_pState.get()) t_readAhead = nullptr;
}

bool CScopedReadAhead::ReadBacking(CRawDevice& device, uint64_t offset, void* buffer, size_t len) {
  device.m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
  if (device.ReadDirect(offset, buffer, len)) return true;
  device.m_nFailedReads.fetch_add(1, std::memory_order_relaxed);
  return false;
}

bool CScopedReadAhead::HasFailed(const CRawDevice& device) {
  return device.m_nFailedReads.load(std::memory_order_relaxed) != 0 ||
         device.m_pBadAreas.load(std::memory_order_acquire) != nullptr;
}

__attribute__((noinline)) void CopyBytes(void* to, const void* from, size_t len) { std::memcpy(to, from, len); }

CRawDevice::CRawDevice(std::string path, uint64_t size)
    : m_strPath(std::move(path)), m_nSize(size), m_nId(g_nNextDeviceId.fetch_add(1)) {}
CRawDevice::~CRawDevice() = default;

CBadAreas& CRawDevice::BadAreas() {
  std::call_once(m_badAreasOnce, [this] {
    m_pBadAreasOwner = std::make_unique<CBadAreas>(m_nSize, m_nSectorSize);
    const uint64_t good = m_nLastGood.load(std::memory_order_relaxed);
    if (good != UINT64_MAX) m_pBadAreasOwner->NoteGood(good);
    m_pBadAreas.store(m_pBadAreasOwner.get(), std::memory_order_release);
  });
  return *m_pBadAreas.load(std::memory_order_acquire);
}

bool CRawDevice::IsGone() const {
  const CBadAreas* bad = m_pBadAreas.load(std::memory_order_acquire);
  return bad && bad->IsGone();
}

uint64_t CRawDevice::UnreadableSectors() const {
  const CBadAreas* bad = m_pBadAreas.load(std::memory_order_acquire);
  return bad ? bad->UnreadableSectors() : 0;
}

std::shared_ptr<CRawDevice> CRawDevice::OpenPath(const std::string& path, std::string* error, bool openContainers) {
  auto fail = [&](const std::string& what) -> std::shared_ptr<CRawDevice> {
    if (error) *error = fmt::format("{}: {}", path, what);
    return nullptr;
  };
  // A device the user may not read is asked for through the installed broker (UDisks2).
  std::string why;
  int fd = devaccess::OpenReadOnly(path, &why);
  if (fd < 0) {
    if (error) *error = why;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return fail(std::strerror(e));
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail("is a folder, not a disk image or device");
  }
  if (S_ISBLK(st.st_mode)) {
    uint64_t size = 0;
    int sectorSize = 512;
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
      int e = errno;
      ::close(fd);
      return fail(fmt::format("cannot read the device size: {}", std::strerror(e)));
    }
    if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0) sectorSize = 512;
    auto dev = std::make_shared<CFileDevice>(path, fd, size);
    dev->SetBlockInfo(static_cast<uint32_t>(sectorSize), st.st_rdev);
    return dev;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("is neither a block device nor a regular file");
  }
  std::shared_ptr<CRawDevice> inside;
  why.clear();
  switch (openContainers ? container::OpenContainer(path, fd, static_cast<uint64_t>(st.st_size), &inside, &why)
                         : container::Outcome::NotContainer) {
    case container::Outcome::Opened: ::close(fd); return inside;
    case container::Outcome::Refused:
      ::close(fd);
      if (error) *error = why;
      return nullptr;
    case container::Outcome::NotContainer: break;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_shared<CFileDevice>(path, fd, static_cast<uint64_t>(st.st_size));
}

std::shared_ptr<CRawDevice> CRawDevice::FromMemory(std::vector<uint8_t> bytes) {
  return std::make_shared<CMemoryDevice>(std::move(bytes));
}

std::shared_ptr<CRawDevice> CRawDevice::Slice(std::shared_ptr<CRawDevice> parent, uint64_t offset,
                                              uint64_t length) {
  if (!parent) return nullptr;
  uint64_t size = parent->Size();
  if (offset > size) length = 0;
  else if (length > size - offset) length = size - offset;
  return std::make_shared<CSliceDevice>(std::move(parent), offset, length);
}

void CRawDevice::SetWindowBytes(size_t bytes) {
  m_nWindowBytes = bytes < 4096 ? 4096 : bytes;
  if (t_readWindow.nDeviceId == m_nId) t_readWindow = CReadWindowView{};
  for (Window& w : t_windows.windows)
    if (w.view.nDeviceId == m_nId) w.view = CReadWindowView{};
}

bool CRawDevice::ReadUncached(uint64_t offset, void* buffer, size_t len) {
  if (len == 0) return true;
  errno = 0;
  m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
  if (buffer && ReadDirect(offset, buffer, len)) return true;
  const int e = errno;
  m_nFailedReads.fetch_add(1, std::memory_order_relaxed);
  errno = e;
  return false;
}

bool CRawDevice::ReadSlow(uint64_t offset, void* buffer, size_t len) {
  // The bad-sector policy (platform/BadAreas.h): known bad sectors and a gone device fail
  // at once; a failure is retried, located and searched past as the policy says.
  CBadAreas* bad = m_pBadAreas.load(std::memory_order_acquire);
  if (bad && bad->Refuses(offset, len)) {
    m_nFailedReads.fetch_add(1, std::memory_order_relaxed);
    errno = bad->IsGone() ? ENODEV : EIO;
    return false;
  }
  errno = 0;
  if (ReadSlowUncounted(offset, buffer, len)) {
    m_nLastGood.store(offset, std::memory_order_relaxed);
    if (bad) bad->NoteGood(offset);
    return true;
  }
  const int err = errno;
  // A slice (a partition of an image) reads through its parent, which keeps the bad areas;
  // the slice only learns from it that the device is gone (refused reads say ENODEV).
  if (len > 0 && buffer && (m_bUsesWindow || IsDeviceGoneError(err))) {
    auto alone = [this](uint64_t o, void* b, size_t n) {
      m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
      return ReadDirect(o, b, n);
    };
    if (BadAreas().AfterFailure(offset, buffer, len, err, alone)) return true;
  }
  m_nFailedReads.fetch_add(1, std::memory_order_relaxed);
  errno = err;
  return false;
}

bool CRawDevice::ReadSlowUncounted(uint64_t offset, void* buffer, size_t len) {
  if (len == 0) return true;
  if (!buffer) return false;
  if (!m_bUsesWindow || len >= m_nWindowBytes / 2) {
    m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
    return ReadDirect(offset, buffer, len);
  }
  ThreadWindows& tw = t_windows;
  CReadWindowView& current = t_readWindow;
  // Another window of this thread may hold the range.
  for (Window& w : tw.windows) {
    const CReadWindowView& v = w.view;
    if (v.nDeviceId == m_nId && offset >= v.nBase && offset - v.nBase <= v.nValid &&
        len <= v.nValid - (offset - v.nBase)) {
      w.nLastUse = ++tw.nClock;
      current = v;
      std::memcpy(buffer, v.pData + (offset - v.nBase), len);
      return true;
    }
  }
  {
    // A window is filled only when the request lies near one of this thread's
    // last reads of the device; a lone read is read alone.
    bool near = false;
    if (tw.nNearDevice != m_nId) {
      tw.nNearDevice = m_nId;
      for (auto& x : tw.nNear) x = UINT64_MAX;
    }
    for (uint64_t x : tw.nNear)
      if (x != UINT64_MAX && offset + m_nWindowBytes >= x && offset <= x + m_nWindowBytes) near = true;
    tw.nNear[tw.nNearNext] = offset;
    tw.nNearNext = (tw.nNearNext + 1) % 4;
    if (!near) {
      m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
      return ReadDirect(offset, buffer, len);
    }
  }
  // Align the window to its own size so that neighbouring reads land in one window; a
  // request that would straddle the window's end starts a window at its own 4 KiB.
  uint64_t base = offset - offset % m_nWindowBytes;
  if (offset + len > base + m_nWindowBytes) base = offset - offset % 4096;
  bool knownBad = tw.nBadDeviceId == m_nId && tw.nBadBase == base;
  // A window is not filled over sectors known to be unreadable: that read would only fail.
  if (!knownBad && offset < m_nSize) {
    const CBadAreas* bad = m_pBadAreas.load(std::memory_order_acquire);
    knownBad = bad && bad->Known(base, std::min<uint64_t>(m_nSize - base, m_nWindowBytes));
  }
  if (offset < m_nSize && !knownBad) {
    Window* w = &tw.windows[0];
    for (Window& cand : tw.windows)
      if (cand.nLastUse < w->nLastUse) w = &cand;
    w->view = CReadWindowView{};
    current = CReadWindowView{};
    if (w->nCapacity < m_nWindowBytes) {
      w->bytes.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, (m_nWindowBytes + 4095) & ~size_t(4095))));
      w->nCapacity = w->bytes ? m_nWindowBytes : 0;
    }
    if (w->bytes) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(m_nSize - base, m_nWindowBytes));
      // A thread scanning in order may have had this window read ahead.
      using Answer = CScopedReadAhead::CState::Answer;
      const Answer ahead = t_readAhead && !m_bReadsAhead
                               ? t_readAhead->Serve(*this, base, want, m_nWindowBytes, m_nSize, w->bytes, w->nCapacity)
                               : Answer::NotServed;
      bool filled = ahead == Answer::Served;
      if (ahead == Answer::NotServed) {
        m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
        filled = ReadDirect(base, w->bytes.get(), want);
      }
      if (filled) {
        w->view = CReadWindowView{m_nId, base, want, w->bytes.get()};
        w->nLastUse = ++tw.nClock;
        current = w->view;
        if (len <= want - (offset - base)) {
          std::memcpy(buffer, w->bytes.get() + (offset - base), len);
          return true;
        }
      } else {
        tw.nBadDeviceId = m_nId;
        tw.nBadBase = base;
      }
    }
  }
  // The large read failed or did not cover the request: read the range alone.
  m_nBackingReads.fetch_add(1, std::memory_order_relaxed);
  return ReadDirect(offset, buffer, len);
}
