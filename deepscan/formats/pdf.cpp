// PDF: the file ends after the "%%EOF" line of the first trailer whose "startxref" offset
// is not 0.
//
// Format notes: a trailer ends with the lines "startxref", the decimal offset of the
// cross-reference section and "%%EOF", with CR LF, CR or LF line ends. A linearised file
// holds 0 in its first trailer, so the search goes on (up to five trailers) and such a
// file is measured to its real end; a file with incremental updates is cut after its first
// complete trailer.
//
// Bytes are taken through a one-byte look-ahead: every byte taken from the stream counts
// once in the length, and a byte read but not used (after a CR that is not followed by LF,
// or after an LF) is pushed back and delivered again without being counted again. When
// the rule ends with a byte pushed back it is taken off the length, so the length ends
// just after the terminator of the "%%EOF" line.
#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"

namespace {
constexpr int kMaxTrailers = 5;
constexpr char kStartXref[] = "startxref";
constexpr size_t kStartXrefLength = sizeof kStartXref - 1;
constexpr char kEndOfFile[] = "%%EOF";
constexpr size_t kEndOfFileLength = sizeof kEndOfFile - 1;

class CLookAheadReader {
 public:
  CLookAheadReader(CLogicalDriver& v, uint64_t& len) : m_volume(v), m_nLength(len) {}

  // The next byte: the pushed-back one, or one taken from the stream (and counted). Fails
  // on a failed read and once the length reaches the carve limit.
  bool Take(uint8_t& b) {
    if (m_bPushed) {
      m_bPushed = false;
      b = m_nPushed;
      return true;
    }
    if (m_nLength >= kMaxCarveLength || m_volume.StreamRead(&b, 1) != 1) return false;
    ++m_nLength;
    return true;
  }
  void PushBack(uint8_t b) {
    m_nPushed = b;
    m_bPushed = true;
  }
  // Forgets a pushed-back byte (a search moves the stream on from its own position); the
  // byte stays counted, as the stream has passed it.
  void Drop() { m_bPushed = false; }
  bool Pushed() const { return m_bPushed; }

  // Takes one line with its terminator, calling onByte for each content byte; onByte
  // answering false fails the line at once.
  template <class F>
  bool ReadLine(F&& onByte) {
    uint8_t b;
    for (;;) {
      if (!Take(b)) return false;
      if (b == '\r') {
        uint8_t next;
        if (!Take(next)) return false;
        if (next != '\n') PushBack(next);
        return true;
      }
      if (b == '\n') {
        uint8_t next;
        if (!Take(next)) return false;
        PushBack(next);
        return true;
      }
      if (!onByte(b)) return false;
    }
  }

 private:
  CLogicalDriver& m_volume;
  uint64_t& m_nLength;
  bool m_bPushed = false;
  uint8_t m_nPushed = 0;
};
}  // namespace

namespace rules {
bool MeasurePdf(CLogicalDriver& v, uint64_t unit, RuleHeader, std::u16string&, uint64_t& len) {
  len = 0;
  if (!v.StreamSeek(unit)) return false;
  CLookAheadReader in(v, len);

  bool found = false;
  for (int attempt = 0; attempt < kMaxTrailers && !found; ++attempt) {
    in.Drop();
    int64_t d = v.StreamFind(reinterpret_cast<const uint8_t*>(kStartXref), kStartXrefLength, false);
    if (d < 0) return false;
    len += uint64_t(d);
    // The keyword's line end: CR LF; CR or LF and a pushed-back byte; anything else takes
    // two bytes.
    uint8_t a, b;
    if (!in.Take(a) || !in.Take(b)) return false;
    if ((a == '\r' && b != '\n') || a == '\n') in.PushBack(b);
    // The offset: leading blanks, then digits up to the first other byte; only whether
    // it is 0 matters.
    enum { kBlanks, kDigits, kDone } state = kBlanks;
    bool nonZero = false;
    bool ok = in.ReadLine([&](uint8_t c) {
      if (state == kBlanks && (c == ' ' || c == '\t')) return true;
      if (state != kDone && c >= '0' && c <= '9') {
        state = kDigits;
        nonZero = nonZero || c != '0';
        return true;
      }
      state = kDone;
      return true;
    });
    if (!ok) return false;
    found = nonZero;
  }
  if (!found) return false;

  // The next line must be exactly "%%EOF"; a sixth byte already fails it.
  size_t lineLength = 0;
  if (!in.ReadLine([&](uint8_t c) {
        if (lineLength == kEndOfFileLength || c != uint8_t(kEndOfFile[lineLength])) return false;
        ++lineLength;
        return true;
      }))
    return false;
  if (lineLength != kEndOfFileLength) return false;

  if (in.Pushed()) len -= 1;
  return true;
}
}  // namespace rules
