#include "platform/RawDevice.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

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

CRawDevice::CRawDevice(std::string path, uint64_t size) : m_strPath(std::move(path)), m_nSize(size) {}
CRawDevice::~CRawDevice() = default;

std::shared_ptr<CRawDevice> CRawDevice::OpenPath(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) -> std::shared_ptr<CRawDevice> {
    if (error) *error = fmt::format("{}: {}", path, what);
    return nullptr;
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
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
  std::lock_guard lock(m_mutex);
  m_nWindowBytes = bytes < 4096 ? 4096 : bytes;
  m_window.clear();
  m_window.shrink_to_fit();
  m_nWindowValid = 0;
}

bool CRawDevice::FillWindow(uint64_t base) {
  uint64_t avail = m_nSize - base;
  size_t want = avail < m_nWindowBytes ? static_cast<size_t>(avail) : m_nWindowBytes;
  if (m_window.size() < m_nWindowBytes) m_window.resize(m_nWindowBytes);
  ++m_nBackingReads;
  if (!ReadDirect(base, m_window.data(), want)) {
    m_nWindowValid = 0;
    m_nBadWindowBase = base;
    return false;
  }
  m_nWindowBase = base;
  m_nWindowValid = want;
  return true;
}

bool CRawDevice::Read(uint64_t offset, void* buffer, size_t len) {
  if (len == 0) return true;
  if (!buffer) return false;
  if (!m_bUsesWindow || len >= m_nWindowBytes / 2) {
    std::lock_guard lock(m_mutex);
    ++m_nBackingReads;
    return ReadDirect(offset, buffer, len);
  }
  std::lock_guard lock(m_mutex);
  if (m_nWindowValid && offset >= m_nWindowBase && offset - m_nWindowBase <= m_nWindowValid &&
      len <= m_nWindowValid - (offset - m_nWindowBase)) {
    std::memcpy(buffer, m_window.data() + (offset - m_nWindowBase), len);
    return true;
  }
  // Align the window to its own size so that neighbouring reads land in one window;
  // a request that would straddle the window's end starts a window at its own sector.
  uint64_t base = offset - offset % m_nWindowBytes;
  if (offset + len > base + m_nWindowBytes) base = offset - offset % 4096;
  if (offset < m_nSize && base != m_nBadWindowBase && FillWindow(base) &&
      len <= m_nWindowValid - (offset - m_nWindowBase)) {
    std::memcpy(buffer, m_window.data() + (offset - m_nWindowBase), len);
    return true;
  }
  // The large read failed or did not cover the request: read the range alone.
  ++m_nBackingReads;
  return ReadDirect(offset, buffer, len);
}
