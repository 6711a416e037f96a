#include "tasks/RescueMap.h"

#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include <fmt/format.h>

bool IsRescueBlockStatus(char c) {
  return c == rescue::kNonTried || c == rescue::kNonTrimmed || c == rescue::kNonScraped || c == rescue::kBadSector ||
         c == rescue::kFinished;
}

namespace {
bool IsCurrentStatus(char c) { return IsRescueBlockStatus(c) || c == 'F' || c == 'G'; }

// A number as ddrescue writes and reads it (strtoull with base 0); false when the word
// is not one whole number or does not fit.
bool ParseNumber(const std::string& word, uint64_t* out) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(word.c_str(), &end, 0);
  if (errno != 0 || end != word.c_str() + word.size()) return false;
  *out = v;
  return true;
}
}  // namespace

CRescueMap::CRescueMap(uint64_t size) : m_nSize(size) {
  if (size) m_blocks[0] = Extent{size, rescue::kNonTried};
}

void CRescueMap::SplitAt(uint64_t pos) {
  auto it = m_blocks.upper_bound(pos);
  --it;  // the block holding pos: the map covers [0, m_nSize) and pos < m_nSize
  if (it->first == pos) return;
  Extent tail{it->second.nEnd, it->second.cStatus};
  it->second.nEnd = pos;
  m_blocks.emplace(pos, tail);
}

void CRescueMap::Set(uint64_t pos, uint64_t size, char status) {
  if (pos >= m_nSize || size == 0) return;
  uint64_t end = size > m_nSize - pos ? m_nSize : pos + size;
  SplitAt(pos);
  if (end < m_nSize) SplitAt(end);
  auto first = m_blocks.find(pos);
  m_blocks.erase(std::next(first), m_blocks.lower_bound(end));
  first->second = Extent{end, status};
  // Merge with the neighbours of the same status.
  auto next = std::next(first);
  if (next != m_blocks.end() && next->second.cStatus == status) {
    first->second.nEnd = next->second.nEnd;
    m_blocks.erase(next);
  }
  if (first != m_blocks.begin()) {
    auto prev = std::prev(first);
    if (prev->second.cStatus == status) {
      prev->second.nEnd = first->second.nEnd;
      m_blocks.erase(first);
    }
  }
}

char CRescueMap::StatusAt(uint64_t pos) const {
  if (pos >= m_nSize) return rescue::kFinished;
  auto it = m_blocks.upper_bound(pos);
  return std::prev(it)->second.cStatus;
}

bool CRescueMap::Next(char status, uint64_t pos, uint64_t end, Block* out) const {
  if (end > m_nSize) end = m_nSize;
  if (pos >= end) return false;
  auto it = std::prev(m_blocks.upper_bound(pos));
  for (; it != m_blocks.end() && it->first < end; ++it) {
    if (it->second.cStatus != status) continue;
    uint64_t b = std::max(it->first, pos), e = std::min(it->second.nEnd, end);
    *out = Block{b, e - b, status};
    return true;
  }
  return false;
}

uint64_t CRescueMap::Count(char status, uint64_t begin, uint64_t end) const {
  if (end > m_nSize) end = m_nSize;
  uint64_t total = 0;
  Block b;
  for (uint64_t pos = begin; Next(status, pos, end, &b); pos = b.nPos + b.nSize) total += b.nSize;
  return total;
}

std::vector<CRescueMap::Block> CRescueMap::Blocks() const {
  std::vector<Block> out;
  for (const auto& [pos, e] : m_blocks) out.push_back(Block{pos, e.nEnd - pos, e.cStatus});
  return out;
}

bool CRescueMap::Parse(const std::string& text, uint64_t size, std::string* error) {
  *this = CRescueMap(size);
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  bool haveStatus = false;
  uint64_t expected = 0;  // where the next block must begin (0 before the first)
  bool haveBlock = false;
  auto fail = [&](const std::string& what) {
    if (error) *error = fmt::format("line {}: {}", lineNo, what);
    *this = CRescueMap(size);
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::istringstream words(line.substr(start));
    std::string a, b, c, extra;
    words >> a >> b >> c >> extra;
    if (!haveStatus) {
      uint64_t pos = 0, pass = 1;
      if (!ParseNumber(a, &pos) || b.size() != 1 || !IsCurrentStatus(b[0]) || (!c.empty() && !ParseNumber(c, &pass)) ||
          !extra.empty() || pass == 0 || pass > 1000000)
        return fail("not a mapfile status line (current position, status, pass): '" + line + "'");
      m_nCurrentPos = pos;
      m_cCurrentStatus = b[0];
      m_nCurrentPass = int(pass);
      haveStatus = true;
      continue;
    }
    uint64_t pos = 0, len = 0;
    if (!ParseNumber(a, &pos) || !ParseNumber(b, &len) || c.size() != 1 || !extra.empty())
      return fail("not a mapfile block (position, size, status): '" + line + "'");
    if (!IsRescueBlockStatus(c[0])) return fail(fmt::format("unknown block status '{}'", c));
    if (len == 0) return fail("a block of size 0");
    if (pos + len < pos) return fail("the block's end does not fit in 64 bits");
    if (haveBlock && pos != expected)
      return fail(fmt::format("the block at {:#x} does not follow the one before (which ends at {:#x})", pos,
                              expected));
    if (pos + len > size)
      return fail(fmt::format("the block at {:#x} ends at {:#x}, past the end of the source ({:#x} bytes)", pos,
                              pos + len, size));
    Set(pos, len, c[0]);
    expected = pos + len;
    haveBlock = true;
  }
  if (!haveStatus) return fail("no status line: not a mapfile");
  return true;
}

std::string CRescueMap::Format() const {
  std::string out;
  for (const auto& h : m_header) out += "# " + h + "\n";
  out += fmt::format("# current_pos  current_status  current_pass\n{:#010x}     {}               {}\n", m_nCurrentPos,
                     m_cCurrentStatus, m_nCurrentPass);
  out += "#      pos        size  status\n";
  for (const auto& [pos, e] : m_blocks) out += fmt::format("{:#010x}  {:#010x}  {}\n", pos, e.nEnd - pos, e.cStatus);
  return out;
}

bool CRescueMap::Load(const std::string& path, uint64_t size, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error) *error = path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buf, size_t(n));
    // A map of a disk with millions of bad areas is large, but not this large.
    if (text.size() > (size_t(1) << 30)) {
      if (error) *error = path + ": too large for a mapfile";
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  std::string why;
  if (!Parse(text, size, &why)) {
    if (error) *error = path + ": " + why;
    return false;
  }
  return true;
}

bool CRescueMap::Save(const std::string& path, std::string* error) const {
  return WriteFileAtomically(path, Format(), error);
}
