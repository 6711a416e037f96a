// The unit stream: the device seen as one run of bytes from the first byte of a start
// unit on, one unit held in m_pUnitBuffer at a time; and the dispatch from a type to its
// extent rule.
#include "deepscan/UnitStream.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <cstring>
#include <string>
#include <span>

#include "deepscan/FileTypes.h"
#include "deepscan/formats/FormatTable.h"
#include "deepscan/formats/Text.h"
#include "tree/DirEntry.h"

int64_t FindInBuffer(const uint8_t* buffer, size_t length, const uint8_t* pattern, size_t m, bool ignoreCase) {
  if (m == 0 || m > length || !buffer) return -1;
  const uint8_t first = pattern[0];
  const size_t lastStart = length - m;
  size_t i = 0;
  while (i <= lastStart) {
    const void* hit = std::memchr(buffer + i, first, lastStart - i + 1);
    if (!hit) return -1;
    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer);
    bool match = true;
    if (!ignoreCase) {
      match = std::memcmp(buffer + i + 1, pattern + 1, m - 1) == 0;
    } else {
      for (size_t k = 1; k < m; ++k) {
        uint8_t c = buffer[i + k];
        if (c >= 'A' && c <= 'Z') c = uint8_t(c + ('a' - 'A'));
        if (c != pattern[k]) {
          match = false;
          break;
        }
      }
    }
    if (match) return static_cast<int64_t>(i);
    ++i;
  }
  return -1;
}

bool CLogicalDriver::OtherFileBeginsAt(uint64_t unit) {
  if (unit < m_nFirstUnit || unit > m_nLastUnit || m_nBytesPerCluster < kRuleHeaderBytes) return false;
  const size_t probe = SignatureProbeBytes();
  const uint8_t* p = m_hDevice && probe <= m_nBytesPerCluster ? m_hDevice->Peek(UnitByteOffset(unit), probe) : nullptr;
  if (!p) {
    if (m_pUnitBuffer2.size() < m_nBytesPerCluster || !ReadCluster(unit, 0, m_pUnitBuffer2.data())) return false;
    p = m_pUnitBuffer2.data();
  }
  // The text probe is left out: a unit of text is what the text rule is passing over.
  const uint16_t type = MatchSignatureOf(p, false);
  if (type == kNoFileType) return false;
  if ((type == FT_BMP || type == FT_3DS) && LooksLikeText(p, kTextProbeBytes)) return false;
  return true;
}

bool CLogicalDriver::StreamReadUnit(uint64_t unit) {
  if (unit < m_nFirstUnit || unit > m_nLastUnit) return false;
  if (m_pUnitBuffer.size() < m_nBytesPerCluster) return false;
  return ReadCluster(unit, 0, m_pUnitBuffer.data());
}

bool CLogicalDriver::StreamSeek(uint64_t unit) {
  m_nStreamUnit = unit;
  m_nStreamPos = 0;
  return StreamReadUnit(unit);
}

int64_t CLogicalDriver::StreamSkip(uint64_t n) {
  const uint64_t u = m_nBytesPerCluster;
  if (u == 0 || n > uint64_t(INT64_MAX) - m_nStreamPos) return -1;
  uint64_t p = m_nStreamPos + n;
  if (p < u) {
    m_nStreamPos = static_cast<uint32_t>(p);
    return static_cast<int64_t>(n);
  }
  if (p / u > UINT64_MAX - m_nStreamUnit) return -1;
  m_nStreamUnit += p / u;
  m_nStreamPos = static_cast<uint32_t>(p % u);
  if (!StreamReadUnit(m_nStreamUnit)) return -1;
  return static_cast<int64_t>(n);
}

uint64_t CLogicalDriver::StreamRead(uint8_t* destination, uint64_t n) {
  const uint64_t u = m_nBytesPerCluster;
  if (u == 0 || m_pUnitBuffer.size() < u || n > UINT64_MAX - u) return 0;
  const uint8_t* buf = m_pUnitBuffer.data();
  if (m_nStreamPos + n <= u) {
    std::memcpy(destination, buf + m_nStreamPos, n);
    m_nStreamPos += static_cast<uint32_t>(n);
    if (m_nStreamPos == u) {
      ++m_nStreamUnit;
      if (!StreamReadUnit(m_nStreamUnit)) return 0;
      m_nStreamPos = 0;
    }
    return n;
  }
  uint64_t r = u - m_nStreamPos;
  std::memcpy(destination, buf + m_nStreamPos, r);
  uint64_t done = r;
  uint64_t rest = n - r;
  for (uint64_t k = rest / u; k > 0; --k) {
    ++m_nStreamUnit;
    if (!StreamReadUnit(m_nStreamUnit)) return 0;
    std::memcpy(destination + done, buf, u);
    done += u;
  }
  ++m_nStreamUnit;
  if (!StreamReadUnit(m_nStreamUnit)) return 0;
  uint64_t tail = rest % u;
  std::memcpy(destination + done, buf, tail);
  m_nStreamPos = static_cast<uint32_t>(tail);
  return n;
}

int64_t CLogicalDriver::StreamFind(const uint8_t* pattern, size_t m, bool ignoreCase) {
  const size_t u = m_nBytesPerCluster;
  if (m == 0 || m > u || m_pUnitBuffer.size() < u || m_nStreamPos > u) return -1;
  const uint8_t* buf = m_pUnitBuffer.data();
  uint64_t skipped = 0;
  int headers = 0;
  int64_t c = FindInBuffer(buf + m_nStreamPos, u - m_nStreamPos, pattern, m, ignoreCase);
  if (c >= 0) {
    m_nStreamPos += static_cast<uint32_t>(c + int64_t(m));
    return c + int64_t(m);
  }
  uint8_t joint[2 * 256];
  const bool canStraddle = m >= 2 && m <= 256;
  for (;;) {
    // A marker may straddle two units: keep the end of this unit to look across the seam.
    size_t tailLen = canStraddle ? std::min<size_t>(m - 1, u - m_nStreamPos) : 0;
    if (tailLen) std::memcpy(joint, buf + u - tailLen, tailLen);
    skipped += u - m_nStreamPos;
    ++m_nStreamUnit;
    m_nStreamPos = 0;
    if (!StreamReadUnit(m_nStreamUnit)) return -1;
    // A unit of plain text is no other file's header: text files, HTML and PDF bodies
    // cross many of them.
    const uint16_t crossed = MatchSignature(m_nStreamUnit, buf);
    if (crossed != kNoFileType && crossed != FT_TXT && ++headers > kMaxHeadersCrossed) return -1;
    if (tailLen) {
      size_t head = std::min(m - 1, u);
      std::memcpy(joint + tailLen, buf, head);
      int64_t j = FindInBuffer(joint, tailLen + head, pattern, m, ignoreCase);
      if (j >= 0) {
        // Every occurrence wholly inside the tail was searched before, so this one
        // crosses the seam and ends inside the new unit.
        uint64_t end = uint64_t(j) + m - tailLen;
        m_nStreamPos = static_cast<uint32_t>(end);
        return static_cast<int64_t>(skipped + end);
      }
    }
    c = FindInBuffer(buf, u, pattern, m, ignoreCase);
    if (c >= 0) {
      m_nStreamPos = static_cast<uint32_t>(c + int64_t(m));
      return static_cast<int64_t>(skipped + uint64_t(c) + m);
    }
  }
}

bool CLogicalDriver::MeasureFile(uint64_t unit, const uint8_t* buffer, uint32_t unitSize, std::u16string& extension,
                                 uint64_t& length) {
  extension.clear();
  // The matcher reads up to the first sector (the DXF text) and the rule a header of
  // kRuleHeaderBytes: a shorter buffer is turned away rather than read past its end.
  if (!buffer || unitSize < std::max<size_t>(kRuleHeaderBytes, m_nBytesPerSector)) return false;
  const std::span<const uint8_t> unitBytes(buffer, unitSize);
  FileTypeId t = MatchSignature(unit, unitBytes.data());
  if (t == kNoFileType) return false;
  const FormatRule* rule = FindFormatRule(t);
  if (!rule) return false;
  extension = rule->szExtension;
  // The rule gets its own copy of the header: the unit buffer changes as the stream moves.
  std::array<uint8_t, kRuleHeaderBytes> header;
  const auto first = unitBytes.first<kRuleHeaderBytes>();
  std::copy(first.begin(), first.end(), header.begin());
  length = 0;
  return rule->pRule(*this, unit, header, extension, length) && length >= rule->nMinBytes;
}

bool CLogicalDriver::IdentifyFile(uint64_t unit, std::u16string& extension, uint64_t& length) {
  if (m_nBytesPerCluster < kRuleHeaderBytes || m_pUnitBuffer.size() < m_nBytesPerCluster) return false;
  // Most units are turned away on the bytes the matcher reads, looked at in the read window,
  // without copying the whole unit.
  if (const size_t probe = SignatureProbeBytes(); m_hDevice && probe <= m_nBytesPerCluster) {
    const uint64_t at = UnitByteOffset(unit);
    if (const uint8_t* p = m_hDevice->Peek(at, probe); p && MatchSignature(unit, p) == kNoFileType) return false;
  }
  if (!ReadCluster(unit, 0, m_pUnitBuffer.data())) return false;
  if (!MeasureFile(unit, m_pUnitBuffer.data(), m_nBytesPerCluster, extension, length)) return false;
  return length != 0 && length < kMaxCarveLength;
}

namespace {
std::u16string UpperAscii(const std::u16string& text) {
  std::u16string s = text;
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
  return s;
}
}  // namespace

uint32_t CLogicalDriver::CheckFileHeader(uint64_t unit, const CDirEntry* file, StatusReason* reason) {
  StatusReason unused;
  StatusReason& why = reason ? *reason : unused;
  why = StatusReason::NoHeaderCheck;
  if (!file) return STATUS_GOOD;
  std::u16string extension;
  uint64_t length = 0;
  // The check looks for the file's own type, whichever types the user last picked for a
  // deep scan (a deleted .doc on a volume scanned for pictures only is still a .doc), and
  // for no other: each file costs at most the reads of its own type's rule.
  // The extension in lower case, as the flags are named ("jpeg", "tiff", "htm" by their
  // usual other names); an extension no flag is named after has no header to check.
  char own[8] = {};
  if (file->m_strExtension.size() >= sizeof own) return STATUS_GOOD;
  for (size_t i = 0; i < file->m_strExtension.size(); ++i) {
    const char16_t c = file->m_strExtension[i];
    if (c >= 0x80) return STATUS_GOOD;
    own[i] = char(std::tolower(int(c)));
  }
  std::string_view ownName = own;
  // Text has no header, and whatever lies after its end decides where a measure stops.
  if (ownName == "txt") return STATUS_GOOD;
  if (ownName == "jpeg") ownName = "jpg";
  else if (ownName == "tiff") ownName = "tif";
  else if (ownName == "htm") ownName = "html";
  const auto& flags = ScanFlags();
  const auto ownFlag = std::find_if(flags.begin(), flags.end(), [&](const NamedFlag& f) { return ownName == f.szName; });
  if (ownFlag == flags.end()) return STATUS_GOOD;
  uint32_t saved[64];
  for (size_t i = 0; i < flags.size() && i < std::size(saved); ++i) {
    saved[i] = this->*flags[i].pFlag;
    this->*flags[i].pFlag = 0;
  }
  this->*ownFlag->pFlag = 1;
  const bool identified = IdentifyFile(unit, extension, length);
  for (size_t i = 0; i < flags.size() && i < std::size(saved); ++i) this->*flags[i].pFlag = saved[i];
  if (identified) {
    if (UpperAscii(extension) != UpperAscii(file->m_strExtension)) {
      why = StatusReason::HeaderOtherType;
      return STATUS_GOOD;
    }
    // The rule measured the file from its first unit on, as a recovery reads it. Longer
    // than the recorded size: what follows the file's first part is not where its format
    // says (a fragmented file read as consecutive clusters, or a damaged one). Shorter:
    // data after the format's end (a trailer some writers add) is no evidence against it.
    if (length == file->m_nSize) {
      why = StatusReason::HeaderMatches;
      return STATUS_EXCELLENT;
    }
    why = length > file->m_nSize ? StatusReason::ReadsPastItsEnd : StatusReason::HeaderEndsEarly;
    return length > file->m_nSize ? STATUS_POOR : STATUS_GOOD;
  }
  // The file's own type is not at its first unit, or does not measure there: evidence
  // only for the types whose rules know every file of their kind.
  if (!IsHeaderCheckExtension(UpperAscii(file->m_strExtension))) return STATUS_GOOD;
  std::vector<uint8_t> sector(m_nBytesPerSector ? m_nBytesPerSector : 512);
  why = ReadSectors(ClusterToSector(unit), sector.data(), uint32_t(sector.size()), 1) ? StatusReason::HeaderMismatch
                                                                                      : StatusReason::Unreadable;
  return STATUS_POOR;
}
