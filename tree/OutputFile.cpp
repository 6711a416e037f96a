#include "tree/OutputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

bool IOutputFile::WriteZeros(uint64_t n) {
  static const uint8_t kZeros[64 * 1024] = {};
  while (n > 0) {
    const size_t piece = size_t(std::min<uint64_t>(n, sizeof kZeros));
    if (!Write(kZeros, piece)) return false;
    n -= piece;
  }
  return true;
}

void IOutputFile::NoteUnreadable(uint64_t at, uint64_t n) {
  if (n == 0) return;
  if (!m_unreadable.empty() && m_unreadable.back().nOffset + m_unreadable.back().nLength == at)
    m_unreadable.back().nLength += n;
  else
    m_unreadable.push_back(ByteRange{at, n});
}

std::string UnreadableRangesText(const std::vector<IOutputFile::ByteRange>& ranges) {
  constexpr size_t kShown = 8;
  std::string text = "bytes ";
  for (size_t i = 0; i < ranges.size() && i < kShown; ++i) {
    if (i) text += i + 1 == std::min(ranges.size(), kShown) && ranges.size() <= kShown ? " and " : ", ";
    text += fmt::format("{}-{}", ranges[i].nOffset, ranges[i].nOffset + ranges[i].nLength - 1);
  }
  if (ranges.size() > kShown) text += fmt::format(" and {} more range(s)", ranges.size() - kShown);
  return text;
}

bool CMemoryOutputFile::WriteZeros(uint64_t n) {
  if (n > m_nLimit - m_bytes.size()) return false;
  try {
    m_bytes.resize(m_bytes.size() + size_t(n), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool CMemoryOutputFile::Write(const void* data, size_t len) {
  if (len > m_nLimit - m_bytes.size()) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  try {
    m_bytes.insert(m_bytes.end(), p, p + len);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

CDiskOutputFile::~CDiskOutputFile() { Close(); }

bool CDiskOutputFile::Create(const std::string& path, bool overwrite, std::string* error) {
  Close();
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
  m_fd = ::open(path.c_str(), flags, 0644);
  if (m_fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  m_strPath = path;
  m_bFailed = false;
  return true;
}

bool CDiskOutputFile::Write(const void* data, size_t len) {
  if (m_fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    ssize_t n = ::write(m_fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      m_bFailed = true;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool CDiskOutputFile::Close(std::string* error) {
  if (m_fd < 0) return !m_bFailed;
  bool ok = !m_bFailed;
  if (::close(m_fd) != 0) ok = false;
  m_fd = -1;
  if (!ok && error) *error = m_strPath + ": the data could not all be written";
  return ok;
}
