// PDF: the file ends after the "%%EOF" line of the first trailer whose "startxref" offset
// is not 0, or of the last incremental update that follows it.
//
// Format notes: a trailer ends with the lines "startxref", the decimal offset of the
// cross-reference section and "%%EOF", with CR LF, CR or LF line ends. A linearised file
// holds 0 in its first trailer, so the search goes on (up to five trailers) and such a
// file is measured to its real end. An incremental update is appended right after a
// "%%EOF" line: new objects ("12 0 obj") or a cross-reference section ("xref"), ended by
// a trailer of its own. After each trailer the next bytes are looked at; when they begin
// an update, the file goes on to that update's "%%EOF" (at most kMaxUpdates of them),
// otherwise it ends there: the search never wanders into whatever follows the file.
//
// Bytes are taken through a one-byte look-ahead: every byte taken from the stream counts
// once in the length, and a byte read but not used (after a CR that is not followed by LF,
// or after an LF) is pushed back and delivered again without being counted again. When
// the rule ends with a byte pushed back it is taken off the length, so the length ends
// just after the terminator of the "%%EOF" line.
#include <string_view>

#include "deepscan/UnitStream.h"
#include "deepscan/formats/FormatTable.h"

namespace {
constexpr int kMaxTrailers = 5;
constexpr int kMaxUpdates = 64;
constexpr int kMaxBlanksBeforeUpdate = 16;
constexpr int kMaxCommentsBeforeUpdate = 4;
constexpr int kMaxCommentBytes = 256;
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

  // Finds the next "startxref" and takes its line end: CR LF; CR or LF and a pushed-back
  // byte; anything else takes two bytes.
  auto startXref = [&] {
    in.Drop();
    const int64_t d = v.StreamFind(reinterpret_cast<const uint8_t*>(kStartXref), kStartXrefLength, false);
    if (d < 0) return false;
    len += uint64_t(d);
    uint8_t a, b;
    if (!in.Take(a) || !in.Take(b)) return false;
    if ((a == '\r' && b != '\n') || a == '\n') in.PushBack(b);
    return true;
  };
  bool found = false;
  for (int attempt = 0; attempt < kMaxTrailers && !found; ++attempt) {
    if (!startXref()) return false;
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
  auto endOfFileLine = [&] {
    size_t lineLength = 0;
    return in.ReadLine([&](uint8_t c) {
             if (lineLength == kEndOfFileLength || c != uint8_t(kEndOfFile[lineLength])) return false;
             ++lineLength;
             return true;
           }) &&
           lineLength == kEndOfFileLength;
  };
  if (!endOfFileLine()) return false;

  for (int update = 0; update < kMaxUpdates; ++update) {
    const uint64_t end = len - (in.Pushed() ? 1 : 0);
    // Does an update begin here? Blanks and comment lines ("%BeginExifToolUpdate"), then
    // "xref" or "<digits> <digits> obj".
    uint8_t c = 0;
    int blanks = 0, comments = 0;
    bool ok = in.Take(c);
    for (;;) {
      blanks = 0;
      while (ok && (c == ' ' || c == '\r' || c == '\n' || c == '\t') && ++blanks <= kMaxBlanksBeforeUpdate)
        ok = in.Take(c);
      if (!ok || c != '%' || ++comments > kMaxCommentsBeforeUpdate) break;
      // A comment line "%PDF-" is the header of the next file, not part of this one.
      char comment[4] = {};
      int length = 0;
      while ((ok = in.Take(c)) && c != '\r' && c != '\n' && ++length < kMaxCommentBytes)
        if (length <= 4) comment[length - 1] = char(c);
      if (std::string_view(comment, 4) == "PDF-") {
        len = end;
        return true;
      }
    }
    // Read no further than the decision needs: the update's trailer is searched for from
    // there.
    bool begins = false;
    if (ok && c == 'x') {
      char rest[3] = {};
      for (char& r : rest) ok = ok && in.Take(c) && (r = char(c), true);
      begins = ok && std::string_view(rest, 3) == "ref";
    } else if (ok && c >= '0' && c <= '9') {
      // "<object number> <generation> obj"
      int numbers = 0;
      for (int digits = 0; ok && numbers < 2;) {
        if (c >= '0' && c <= '9' && ++digits <= 10) {
          ok = in.Take(c);
        } else if (c == ' ' && digits > 0) {
          ++numbers, digits = 0;
          ok = in.Take(c);
        } else {
          break;
        }
      }
      char word[3] = {char(c)};
      if (ok && numbers == 2) ok = in.Take(c) && (word[1] = char(c), in.Take(c)) && (word[2] = char(c), true);
      begins = ok && numbers == 2 && std::string_view(word, 3) == "obj";
    }
    if (!begins) {
      len = end;
      return true;
    }
    // The update's trailer: "startxref", its offset, "%%EOF".
    if (!startXref() || !in.ReadLine([](uint8_t) { return true; }) || !endOfFileLine()) {
      len = end;
      return true;
    }
  }
  if (in.Pushed()) len -= 1;
  return true;
}
}  // namespace rules
