#include <cstring>

#include <gtest/gtest.h>

#include "deepscan/UnitStream.h"
#include "support/MemoryVolume.h"

namespace {
// An image whose byte i is (i / 512) in its first byte of each unit and i & 0xFF elsewhere.
std::vector<uint8_t> Numbered(size_t units) {
  std::vector<uint8_t> b(units * 512);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i % 512 == 0 ? 0x40 + i / 512 : i & 0xFF);
  return b;
}
const uint8_t* P(const char* s) { return reinterpret_cast<const uint8_t*>(s); }
}  // namespace

TEST(UnitStream, ReadAndSkipAcrossUnits) {
  CMemoryVolume mem(Numbered(16));
  auto& v = mem.Volume();
  ASSERT_TRUE(v.StreamSeek(4));
  ASSERT_EQ(v.StreamSkip(510), 510);
  uint8_t b[1100];
  ASSERT_EQ(v.StreamRead(b, 4), 4u);  // 2 bytes of unit 4, 2 of unit 5
  EXPECT_EQ(b[2], 0x40 + 5);
  EXPECT_EQ(v.m_nStreamUnit, 5u);
  EXPECT_EQ(v.m_nStreamPos, 2u);

  ASSERT_TRUE(v.StreamSeek(4));
  ASSERT_EQ(v.StreamRead(b, 1024), 1024u);  // two whole units: the stream stands at unit 6
  EXPECT_EQ(v.m_nStreamUnit, 6u);
  EXPECT_EQ(v.m_nStreamPos, 0u);
  ASSERT_TRUE(v.StreamSeek(4));
  ASSERT_EQ(v.StreamRead(b, 512), 512u);
  EXPECT_EQ(v.m_nStreamUnit, 5u);
  EXPECT_EQ(v.m_nStreamPos, 0u);

  ASSERT_TRUE(v.StreamSeek(4));
  EXPECT_EQ(v.StreamSkip(0), 0);
  EXPECT_EQ(v.m_nStreamUnit, 4u);
  EXPECT_EQ(v.StreamSkip(512), 512);
  EXPECT_EQ(v.m_nStreamUnit, 5u);
  EXPECT_EQ(v.m_pUnitBuffer[0], 0x40 + 5);

  // Units outside [first, last] fail, even when the bytes were already delivered.
  ASSERT_TRUE(v.StreamSeek(15));
  EXPECT_EQ(v.StreamRead(b, 512), 0u);
  EXPECT_FALSE(v.StreamSeek(1));
  EXPECT_FALSE(v.StreamSeek(16));
  ASSERT_TRUE(v.StreamSeek(14));
  EXPECT_EQ(v.StreamSkip(uint64_t(1) << 62), -1);
}

TEST(UnitStream, FindReturnsTheDistanceToTheMarkersEnd) {
  std::vector<uint8_t> img(16 * 512, 0);
  std::memcpy(&img[4 * 512 + 100], "END!", 4);
  std::memcpy(&img[7 * 512 + 510], "SEAM", 4);  // straddles units 7 and 8
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  ASSERT_TRUE(v.StreamSeek(4));
  ASSERT_EQ(v.StreamSkip(10), 10);
  EXPECT_EQ(v.StreamFind(P("END!"), 4, false), 94);
  EXPECT_EQ(v.m_nStreamPos, 104u);
  // A marker across two units is found, and the stream stands just after it.
  EXPECT_EQ(v.StreamFind(P("SEAM"), 4, false), int64_t(7 * 512 + 514 - (4 * 512 + 104)));
  EXPECT_EQ(v.m_nStreamUnit, 8u);
  EXPECT_EQ(v.m_nStreamPos, 2u);
  // Not found before the end of the volume.
  EXPECT_EQ(v.StreamFind(P("NOPE"), 4, false), -1);
}

TEST(UnitStream, FindGivesUpAtTheSixthHeaderLikeUnit) {
  // A JPEG's scan data crossing units that begin like other JPEGs: the sixth such unit
  // ends the search even though it holds the marker.
  std::vector<uint8_t> img(20 * 512, 0);
  for (int u = 3; u <= 8; ++u) {
    img[u * 512] = 0xFF;
    img[u * 512 + 1] = 0xD8;
  }
  img[8 * 512 + 100] = 0xFF;
  img[8 * 512 + 101] = 0xD9;
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, false);
  v.m_bScanJPG = 1;
  ASSERT_TRUE(v.StreamSeek(2));
  EXPECT_EQ(v.StreamFind(P("\xFF\xD9"), 2, false), -1);
  // Five header-like units are crossed without giving up.
  img[8 * 512] = 0;
  CMemoryVolume mem2(img);
  SetAllScanFlags(mem2.Volume(), false);
  mem2.Volume().m_bScanJPG = 1;
  ASSERT_TRUE(mem2.Volume().StreamSeek(2));
  EXPECT_EQ(mem2.Volume().StreamFind(P("\xFF\xD9"), 2, false), int64_t(6 * 512 + 102));
}

TEST(UnitStream, FindInBufferCases) {
  const uint8_t* buf = P("abcABCxyz</HTML>");
  EXPECT_EQ(FindInBuffer(buf, 16, P("abc"), 3, false), 0);
  EXPECT_EQ(FindInBuffer(buf, 16, P("ABC"), 3, false), 3);
  EXPECT_EQ(FindInBuffer(buf, 16, P("</html>"), 7, true), 9);
  EXPECT_EQ(FindInBuffer(buf, 16, P("</html>"), 7, false), -1);
  EXPECT_EQ(FindInBuffer(buf, 15, P("</html>"), 7, true), -1);  // must lie within the length
  EXPECT_EQ(FindInBuffer(buf, 16, P("Abc"), 3, true), 3);       // the first byte is exact
  EXPECT_EQ(FindInBuffer(buf, 2, P("abc"), 3, false), -1);
}

// MeasureFile reads a unit's bytes only as far as its caller says they go: a buffer
// shorter than the rule header, or than the first sector the matcher may search for DXF
// text, is turned away instead of being read past its end.
TEST(UnitStream, MeasureFileRefusesABufferShorterThanItReads) {
  struct Case {
    uint32_t nUnitBytes;
    size_t nGiven;
    bool bOk;
  } cases[] = {
      {512, 512, true}, {512, 511, false}, {512, 0, false}, {4096, 4096, true}, {4096, 1024, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.nUnitBytes << "-byte units, " << c.nGiven << " bytes given");
    // A BMP header naming 1000 bytes at the start of unit 2.
    std::vector<uint8_t> image(5 * size_t(c.nUnitBytes), 0);
    uint8_t* bmp = image.data() + 2 * size_t(c.nUnitBytes);
    const uint8_t header[] = {'B', 'M', 0xE8, 0x03, 0, 0};
    std::memcpy(bmp, header, sizeof header);
    bmp[10] = 54, bmp[14] = 40, bmp[18] = 1, bmp[22] = 1;  // a 1 x 1 picture after a 40-byte info header
    bmp[26] = 1;
    bmp[28] = 24;
    std::vector<uint8_t> given(bmp, bmp + c.nGiven);  // exactly as long as it claims
    CMemoryVolume mem(image, c.nUnitBytes);
    std::u16string extension = u"stale";
    uint64_t length = 0;
    EXPECT_EQ(mem.Volume().MeasureFile(2, given.data(), uint32_t(given.size()), extension, length), c.bOk);
    if (c.bOk) {
      EXPECT_EQ(extension, u"BMP");
      EXPECT_EQ(length, 1000u);
    } else {
      EXPECT_TRUE(extension.empty());
    }
  }
}
