// Plain text as the deep scan finds it: UTF-8 (with or without its byte-order mark) or
// UTF-16LE after its byte-order mark (mostly Latin: UTF-16 text of other scripts is not
// told from noise), made of printable characters, tabs, form feeds and line ends. A text file ends at the first byte that cannot continue it (a NUL of the
// slack after it, a control byte, a byte no UTF-8 sequence allows).
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of a unit's start that decide whether text begins there.
constexpr size_t kTextProbeBytes = 512;
// The shortest text found, and the shortest that may be followed by other bytes than the
// NULs of a slack within the probe (binary data often starts with a few words of text).
constexpr size_t kMinTextBytes = 16;
constexpr size_t kMinTextBeforeOtherBytes = 256;

// Decodes UTF-8 a byte at a time: Take answers whether the byte continues the text
// (printable characters only, no overlong forms, no surrogates, nothing past U+10FFFF).
class CUtf8Text {
 public:
  bool Take(uint8_t b);
  // Whether the bytes taken end on a whole character.
  bool Whole() const { return m_nPending == 0; }

 private:
  int m_nPending = 0;              // continuation bytes still due
  uint8_t m_nLow = 0x80, m_nHigh = 0xBF;  // the range the next continuation byte must lie in
  uint32_t m_nCode = 0;
};

// Whether a UTF-16LE code unit is a text character (surrogates are accepted as they come).
bool IsUtf16TextUnit(uint16_t u);

// Whether the first n bytes of a unit begin a text: text from the first byte to the n-th;
// or at least kMinTextBytes of text with a line end followed only by NULs (a short file
// in its slack); or at least kMinTextBeforeOtherBytes of text with a line end.
bool LooksLikeText(const uint8_t* b, size_t n);
