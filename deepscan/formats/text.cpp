// Plain text: the probe for the signature stage and the extent rule.
#include "deepscan/formats/Text.h"

#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr uint8_t kBom8[3] = {0xEF, 0xBB, 0xBF};
bool IsUtf16Bom(const uint8_t* b) { return b[0] == 0xFF && b[1] == 0xFE; }

// How many of the n bytes at p are ASCII text (0x20 to 0x7E, tab, line feed, form feed,
// carriage return), looked at eight at a time: the count stops before the first eight that
// hold any other byte (a byte of a longer character, the end of the text), which are then
// read one by one.
size_t AsciiTextRun(const uint8_t* p, size_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull, kLows = ~kHighs;
  // The high bit of each byte of x that is zero.
  auto zeros = [](uint64_t x) { return ~(((x & kLows) + kLows) | x | kLows); };
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen at a time: printable bytes lie in 0x20..0x7E (as signed bytes, above 0x1F and
  // below 0x7F, which also turns away every byte with its high bit set).
  const __m128i low = _mm_set1_epi8(0x1F), del = _mm_set1_epi8(0x7F);
  const __m128i tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'), ff = _mm_set1_epi8('\f'), cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(v, low), _mm_cmplt_epi8(v, del));
    const __m128i spaces = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)),
                                        _mm_or_si128(_mm_cmpeq_epi8(v, ff), _mm_cmpeq_epi8(v, cr)));
    if (_mm_movemask_epi8(_mm_or_si128(printable, spaces)) != 0xFFFF) break;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    if (v & kHighs) break;
    const uint64_t control = ~((v | kHighs) - 0x20 * kOnes) & kHighs;  // bytes below 0x20
    const uint64_t spaces = zeros(v ^ ('\t' * kOnes)) | zeros(v ^ ('\n' * kOnes)) | zeros(v ^ ('\f' * kOnes)) |
                            zeros(v ^ ('\r' * kOnes));
    if ((control & ~spaces) | zeros(v ^ (0x7F * kOnes))) break;
  }
  return i;
}
}  // namespace

bool CUtf8Text::Take(uint8_t b) {
  if (m_nPending > 0) {
    if (b < m_nLow || b > m_nHigh) return false;
    m_nLow = 0x80, m_nHigh = 0xBF;
    m_nCode = (m_nCode << 6) | (b & 0x3F);
    if (--m_nPending == 0) return !(m_nCode >= 0x80 && m_nCode <= 0x9F);  // C1 controls
    return true;
  }
  if (b >= 0x20 && b < 0x7F) return true;
  if (b == '\t' || b == '\n' || b == '\r' || b == '\f') return true;
  // Lead bytes, with the range of the byte after them that rules out overlong forms,
  // surrogates and code points past U+10FFFF.
  if (b >= 0xC2 && b <= 0xDF) {
    m_nPending = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    m_nPending = 2;
    if (b == 0xE0) m_nLow = 0xA0;
    if (b == 0xED) m_nHigh = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    m_nPending = 3;
    if (b == 0xF0) m_nLow = 0x90;
    if (b == 0xF4) m_nHigh = 0x8F;
  } else {
    return false;
  }
  m_nCode = b & (0x3F >> m_nPending);
  return true;
}

bool IsUtf16TextUnit(uint16_t u) {
  if (u == '\t' || u == '\n' || u == '\r' || u == '\f') return true;
  return u >= 0x20 && !(u >= 0x7F && u <= 0x9F) && u != 0xFFFE && u != 0xFFFF;
}

bool LooksLikeText(const uint8_t* b, size_t n) {
  size_t end = 0;
  bool lineEnd = false;
  if (n >= 2 && IsUtf16Bom(b)) {
    // Nearly every pair of bytes is some character: UTF-16 text must also hold a line end
    // and be mostly Latin (half its units below U+0100), or random data after FF FE would
    // be text.
    size_t latin = 0;
    for (end = 2; end + 1 < n; end += 2) {
      const uint16_t u = uint16_t(b[end] | b[end + 1] << 8);
      if (!IsUtf16TextUnit(u)) break;
      lineEnd = lineEnd || u == '\n';
      latin += u < 0x100;
    }
    if (!lineEnd || 2 * latin < (end - 2) / 2) return false;
  } else {
    CUtf8Text text;
    size_t whole = 0;
    for (end = n >= 3 && b[0] == kBom8[0] && b[1] == kBom8[1] && b[2] == kBom8[2] ? 3 : 0; end < n; ++end) {
      if (!text.Take(b[end])) break;
      lineEnd = lineEnd || b[end] == '\n';
      if (text.Whole()) whole = end + 1;
    }
    // A character cut by the probe's end still counts; one cut by a bad byte does not.
    if (end < n) end = whole;
  }
  if (end >= n - 1) return true;  // text all through the probe (a UTF-16 probe ends on a pair)
  if (end < kMinTextBytes || !lineEnd) return false;
  if (end >= kMinTextBeforeOtherBytes) return true;
  for (size_t k = end; k < n; ++k)
    if (b[k] != 0) return false;
  return true;
}

namespace rules {
bool MeasureText(CLogicalDriver& v, uint64_t unit, RuleHeader h, std::u16string&, uint64_t& len) {
  if (!v.StreamSeek(unit)) return false;
  uint8_t chunk[512];
  len = 0;
  if (IsUtf16Bom(h.data())) {
    for (;;) {
      // Whole code units, read a pair at a time after the mark.
      uint8_t pair[2];
      if (len >= kMaxCarveLength || v.StreamRead(pair, 2) != 2) break;
      if (len >= 2 && !IsUtf16TextUnit(uint16_t(pair[0] | pair[1] << 8))) break;
      len += 2;
    }
    return len > 2;
  }
  CUtf8Text text;
  uint64_t whole = 0;
  const uint64_t unitBytes = v.m_nBytesPerCluster;
  for (bool going = true; going && len < kMaxCarveLength;) {
    // A file written right after the text (its first unit begins with a signature) ends it
    // at that unit: the text's carve must not cover that file's first unit.
    if (len > 0 && unitBytes && len % unitBytes == 0 && v.OtherFileBeginsAt(unit + len / unitBytes)) {
      whole = len;
      break;
    }
    // Pieces of the stream, a byte at a time at the device's end.
    uint64_t got = v.StreamRead(chunk, sizeof chunk);
    if (got == 0) got = v.StreamRead(chunk, 1);
    if (got == 0) break;
    for (uint64_t k = 0; k < got;) {
      if (text.Whole()) {
        // Between characters, plain ASCII is passed over a word at a time.
        const size_t run = AsciiTextRun(chunk + k, size_t(got - k));
        k += run, len += run;
        if (run) whole = len;
        if (k == got) break;
      }
      if (!text.Take(chunk[k])) {
        going = false;
        break;
      }
      ++k, ++len;
      if (text.Whole()) whole = len;
    }
  }
  len = whole;
  return len >= kMinTextBytes;
}
}  // namespace rules
