// Text conversions at the edges of the core. Core texts are UTF-16; file-system calls,
// terminal output and JSON take UTF-8; the "ANSI code page" of on-disk names is the
// process locale's codeset (nl_langinfo(CODESET)).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace text {

std::string ToUtf8(std::u16string_view s);
// Invalid UTF-8 sequences become U+FFFD.
std::u16string FromUtf8(std::string_view s);
// UTF-16 to the locale's codeset; characters it cannot hold become "?".
std::string ToLocale(std::u16string_view s);
// Bytes in the locale's codeset to UTF-16; undecodable bytes become "?".
std::u16string FromLocale(std::string_view bytes);

// printf-style helpers returning UTF-16.
std::u16string Widen(std::string_view ascii);

// Case-insensitive comparison for ASCII letters (file-system names of the machine).
bool EqualsNoCaseAscii(std::string_view a, std::string_view b);
bool EqualsNoCaseAscii(std::u16string_view a, std::u16string_view b);

}  // namespace text
