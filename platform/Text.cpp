#include "platform/Text.h"

#include <cerrno>
#include <clocale>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <vector>

namespace text {

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // an unpaired surrogate
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    uint8_t b = uint8_t(s[i]);
    uint32_t c;
    size_t len;
    if (b < 0x80) { c = b; len = 1; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; len = 2; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; len = 3; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; len = 4; }
    else { out += char16_t(0xFFFD); ++i; continue; }
    if (i + len > s.size()) { out += char16_t(0xFFFD); ++i; continue; }
    bool ok = true;
    for (size_t k = 1; k < len; ++k) {
      uint8_t cb = uint8_t(s[i + k]);
      if ((cb & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok || (len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      out += char16_t(0xFFFD);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += char16_t(0xD800 + (c >> 10));
      out += char16_t(0xDC00 + (c & 0x3FF));
    } else {
      out += char16_t(c);
    }
    i += len;
  }
  return out;
}

namespace {

const char* LocaleCodeset() {
  static std::once_flag once;
  static std::string codeset;
  std::call_once(once, [] {
    // Honour the user's environment even when the program never called setlocale.
    locale_t loc = newlocale(LC_CTYPE_MASK, "", nullptr);
    if (loc) {
      codeset = nl_langinfo_l(CODESET, loc);
      freelocale(loc);
    }
    // The plain C locale reports ASCII; names on disk are then still shown as UTF-8,
    // which is what every terminal and file system of the machine uses.
    if (codeset.empty() || codeset == "ANSI_X3.4-1968") codeset = "UTF-8";
  });
  return codeset.c_str();
}

bool IsUtf8Codeset() {
  std::string_view cs = LocaleCodeset();
  return cs == "UTF-8" || cs == "utf8" || cs == "UTF8";
}

// Converts with iconv one character at a time on failure, putting "?" where a character
// cannot be converted.
std::string IconvConvert(const char* to, const char* from, const char* in, size_t inLen, size_t unitBytes,
                         const char* replacement, size_t replacementLen) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return {};
  std::string out;
  std::vector<char> buf(inLen * 4 + 16);
  char* inp = const_cast<char*>(in);
  size_t inleft = inLen;
  while (inleft > 0) {
    char* outp = buf.data();
    size_t outleft = buf.size();
    size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
    out.append(buf.data(), buf.size() - outleft);
    if (r == (size_t)-1) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: replace one unit and go on.
      size_t skip = inleft < unitBytes ? inleft : unitBytes;
      inp += skip;
      inleft -= skip;
      out.append(replacement, replacementLen);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

}  // namespace

std::string ToLocale(std::u16string_view s) {
  if (IsUtf8Codeset()) return ToUtf8(s);
  std::string target = std::string(LocaleCodeset());
  std::string r = IconvConvert(target.c_str(), "UTF-16LE", reinterpret_cast<const char*>(s.data()),
                               s.size() * 2, 2, "?", 1);
  return r;
}

std::u16string FromLocale(std::string_view bytes) {
  if (IsUtf8Codeset()) {
    std::u16string r = FromUtf8(bytes);
    for (auto& c : r)
      if (c == 0xFFFD) c = u'?';
    return r;
  }
  static const char16_t q = u'?';
  std::string r = IconvConvert("UTF-16LE", LocaleCodeset(), bytes.data(), bytes.size(), 1,
                               reinterpret_cast<const char*>(&q), 2);
  std::u16string out(r.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = char16_t(uint8_t(r[2 * i]) | (uint8_t(r[2 * i + 1]) << 8));
  return out;
}

std::u16string Widen(std::string_view ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (char c : ascii) out += char16_t(uint8_t(c));
  return out;
}

namespace {
template <class Char>
bool EqualsNoCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    Char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = Char(x - 32);
    if (y >= 'a' && y <= 'z') y = Char(y - 32);
    if (x != y) return false;
  }
  return true;
}
}  // namespace

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) { return EqualsNoCase(a, b); }
bool EqualsNoCaseAscii(std::u16string_view a, std::u16string_view b) { return EqualsNoCase(a, b); }

}  // namespace text
