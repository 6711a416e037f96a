// Plain text: where it is found and where it ends.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "deepscan/FileTypes.h"
#include "deepscan/formats/Text.h"
#include "support/MemoryVolume.h"

namespace {
// The finds of a text-only scan of 64 sectors holding bytes at sector 10 (the rest zeros,
// or the given filler).
std::vector<uint64_t> TextFinds(const std::string& bytes, uint8_t filler = 0) {
  std::vector<uint8_t> img(64 * 512, filler);
  std::memcpy(img.data() + 10 * 512, bytes.data(), bytes.size());
  CMemoryVolume mem(img);
  uint64_t found = 0;
  EXPECT_TRUE(mem.ScanFor(&CLogicalDriver::m_bScanTXT, found));
  std::vector<uint64_t> sizes;
  for (const auto& f : mem.Volume().m_pLostFolder->m_children) sizes.push_back(f->m_nSize);
  return sizes;
}
}  // namespace

TEST(TextRule, FoundWhereTextBeginsAndMeasuredToItsEnd) {
  const std::string csv = "name,size\nletter.doc,16384\nphoto.jpg,70000\n";
  std::string log;
  for (int i = 0; i < 60; ++i) log += "2024-05-17 10:00:0" + std::to_string(i % 10) + " service started, pid 4711\n";
  const std::string utf8 = "Grüße aus Köln — 東京\nline two\n";
  std::string noise("\xFF\xFE", 2);
  for (uint32_t x = 12345; noise.size() < 1024;) x = x * 1103515245u + 12345u, noise += char(x >> 16);
  const std::string utf16 = std::string("\xFF\xFE", 2) + std::string("h\0i\0\n\0t\0h\0e\0r\0e\0!\0\n\0", 20);
  struct Case {
    const char* what;
    std::string bytes;
    uint8_t filler;
    std::vector<uint64_t> sizes;
  } cases[] = {
      {"a short CSV in its slack", csv, 0, {csv.size()}},
      {"a log across sectors", log, 0, {log.size()}},
      {"UTF-8 with accents and CJK", utf8, 0, {utf8.size()}},
      {"UTF-16 after its mark", utf16, 0, {utf16.size()}},
      {"ends at a control byte", log + "\x01" + csv, 0, {log.size()}},
      {"ends before a broken UTF-8 sequence", log + "\xC3(", 0, {log.size()}},
      // A few words and a line end at the start of binary data are not a text file.
      {"a short text before other bytes", csv + "\x01\x02\x03", 0, {}},
      {"text without a line end is too little", "just a few words", 0, {}},
      {"a sector of text followed by binary", log.substr(0, 600) + std::string(1, '\0') + "\x01\x02", 0, {600}},
      {"random bytes", std::string("\x9b\x11\xfe\x00\x42\x80\x07", 7) + csv, 0, {}},
      {"text in slack that is not zeros", csv, 0xEE, {}},
      // Nearly any two bytes are a UTF-16 character: noise after FF FE is no text.
      {"noise after a UTF-16 mark", noise, 0, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(TextFinds(c.bytes, c.filler), c.sizes) << c.what;
}

TEST(TextRule, OffByDefaultAndNeverTakesAnotherTypesFile) {
  CLogicalDriver fresh;
  SetDefaultScanFlags(fresh);
  EXPECT_EQ(fresh.m_bScanTXT, 0u);
  // An HTML file is an HTML find with every type on, not a text one.
  std::vector<uint8_t> page(512, ' ');
  const std::string html = "<html><body>hello</body></html>\n";
  std::memcpy(page.data(), html.data(), html.size());
  CLogicalDriver v;
  SetAllScanFlags(v, true);
  EXPECT_EQ(v.MatchSignature(0, page.data()), FT_HTM);
  SetAllScanFlags(v, false);
  v.m_bScanTXT = 1;
  EXPECT_EQ(v.MatchSignature(0, page.data()), FT_TXT);
}
