#include <cstring>

#include <gtest/gtest.h>

#include "deepscan/FileTypes.h"

namespace {
// A unit of 512 bytes starting with the given bytes, zeros after.
std::vector<uint8_t> Unit(std::initializer_list<uint8_t> start, size_t at = 0) {
  std::vector<uint8_t> u(512, 0);
  std::copy(start.begin(), start.end(), u.begin() + long(at));
  return u;
}
std::vector<uint8_t> Text(const char* s, size_t n) {
  std::vector<uint8_t> u(512, 0);
  std::memcpy(u.data(), s, n);
  return u;
}
struct Volume : CLogicalDriver {
  Volume() {
    m_nBytesPerSector = 512;
    m_nBytesPerCluster = 512;
    SetAllScanFlags(*this, false);
  }
};
}  // namespace

TEST(Signature, CatalogueAndDefaults) {
  CLogicalDriver fresh;
  int set = 0;
  for (const auto& f : ScanFlags()) set += fresh.*(f.pFlag) != 0;
  EXPECT_EQ(set, 1);
  EXPECT_EQ(fresh.m_bScanJPG, 1u);
  size_t entries = 0;
  std::vector<size_t> counts;
  for (const auto& c : Catalogue()) {
    counts.push_back(c.entries.size());
    entries += c.entries.size();
  }
  EXPECT_EQ(counts, (std::vector<size_t>{8, 5, 7, 6, 2, 3, 10}));
  EXPECT_EQ(entries, 41u);
  EXPECT_EQ(ScanFlags().size(), 41u);
  EXPECT_EQ(*FileTypeName(24), "CDR");
  EXPECT_EQ(*FileTypeName(41), "CDR");
  EXPECT_EQ(*FileTypeName(61), "WAB");
  EXPECT_FALSE(FileTypeName(62));
  EXPECT_TRUE(IsHeaderCheckExtension(u"HTM"));
  EXPECT_TRUE(IsHeaderCheckExtension(u"HTML"));
  EXPECT_TRUE(IsHeaderCheckExtension(u"TIFF"));
  EXPECT_FALSE(IsHeaderCheckExtension(u"TIF"));
  EXPECT_FALSE(IsHeaderCheckExtension(u"jpg"));
  Volume v;
  SetDefaultScanFlags(v);
  EXPECT_TRUE(v.m_bScanMOV && v.m_bScanPDF && v.m_bScanDOCX && v.m_bScanBMP);
  EXPECT_FALSE(v.m_bScanGIF || v.m_bScanMP4 || v.m_bScanHTML || v.m_bScanTXT);
}

TEST(Signature, MatchesByBytesAndFlags) {
  using F = ScanFlag;
  struct Case {
    const char* what;
    std::vector<uint8_t> unit;
    std::vector<F> flags;
    uint16_t expected;
  } cases[] = {
      {"GIF89a", Text("GIF89a", 6), {&CLogicalDriver::m_bScanGIF}, FT_GIF},
      {"GIF87a", Text("GIF87a", 6), {&CLogicalDriver::m_bScanGIF}, FT_GIF},
      {"GIF88a", Text("GIF88a", 6), {&CLogicalDriver::m_bScanGIF}, kNoFileType},
      {"%PDF-1.4", Text("%PDF-1.4", 8), {&CLogicalDriver::m_bScanPDF}, FT_PDF},
      {"%PDF 1.4", Text("%PDF 1.4", 8), {&CLogicalDriver::m_bScanPDF}, kNoFileType},
      {"RIFF AVI", Text("RIFF\x10\0\0\0AVI ", 12), {&CLogicalDriver::m_bScanAVI}, FT_AVI},
      {"RIFF AVI flag clear", Text("RIFF\x10\0\0\0AVI ", 12), {&CLogicalDriver::m_bScanWAV}, kNoFileType},
      {"RIFF CDR", Text("RIFF\x10\0\0\0CDRv", 12), {&CLogicalDriver::m_bScanCDR}, FT_CDR},
      {"ftyp isom, MOV only", Text("\0\0\0\x18" "ftypisom", 12), {&CLogicalDriver::m_bScanMOV}, FT_MP4},
      {"ftyp qt", Text("\0\0\0\x14" "ftypqt  ", 12), {&CLogicalDriver::m_bScanMOV}, FT_MOV},
      {"ftyp 3gp, MP4 only", Text("\0\0\0\x14" "ftyp3gp4", 12), {&CLogicalDriver::m_bScanMP4}, FT_MP4},
      {"ftyp 3gp", Text("\0\0\0\x14" "ftyp3gp4", 12), {&CLogicalDriver::m_bScan3GP}, FT_3GP},
      {"ftyp, no video flag", Text("\0\0\0\x14" "ftypmp42", 12), {&CLogicalDriver::m_bScanJPG}, kNoFileType},
      {"moov", Text("\0\0\0\x14moov", 8), {&CLogicalDriver::m_bScanMOV}, FT_MOV},
      {"II*\\0 with ORF only", Unit({'I', 'I', 0x2A, 0}), {&CLogicalDriver::m_bScanORF}, FT_TIFF},
      {"IIRS", Text("IIRS", 4), {&CLogicalDriver::m_bScanCR2}, FT_TIFF},
      {"JPEG with MP3 only", Unit({0xFF, 0xD8, 0xFF, 0xE0}), {&CLogicalDriver::m_bScanMP3}, kNoFileType},
      {"JPEG", Unit({0xFF, 0xD8, 0xFF, 0xE0}), {&CLogicalDriver::m_bScanJPG}, FT_JPG},
      {"MP3", Unit({0xFF, 0xFB, 0x90, 0x64}), {&CLogicalDriver::m_bScanMP3}, FT_MP3},
      {"zeros with DBF", Unit({}), {&CLogicalDriver::m_bScanDBF}, kNoFileType},
      {"DBF", Unit({0x03, 0x7B, 0x0B, 0x0A}), {&CLogicalDriver::m_bScanDBF}, FT_DBF},
      {"DBF with byte 12 set", Unit({0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), {&CLogicalDriver::m_bScanDBF},
       kNoFileType},
      {"<HTML>", Text("<HTML>", 6), {&CLogicalDriver::m_bScanHTML}, FT_HTM},
      {"<Html> mixed case", Text("<Html>", 6), {&CLogicalDriver::m_bScanHTML}, kNoFileType},
      {"PCX", Unit({0x0A, 0x05, 0x01, 0x08}), {&CLogicalDriver::m_bScanPCX}, FT_PCX},
      {"PCX version 1", Unit({0x0A, 0x01, 0x01}), {&CLogicalDriver::m_bScanPCX}, kNoFileType},
      {"Rar!", Text("Rar!\x1A\x07\x00", 7), {&CLogicalDriver::m_bScanRAR}, FT_RAR},
      {"compound", Unit({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), {&CLogicalDriver::m_bScanMSG}, FT_MSCOM},
      {"PK zip for docx", Text("PK\x03\x04", 4), {&CLogicalDriver::m_bScanDOCX}, FT_ZIP},
      {"8BPS", Text("8BPS\0\x01\0\0\0\0", 10), {&CLogicalDriver::m_bScanPSD}, FT_PSD},
      {"MThd", Text("MThd\0\0\0\x06", 8), {&CLogicalDriver::m_bScanMID}, FT_MID},
      {"FUJIFILMCCD-", Text("FUJIFILMCCD-RAW", 15), {&CLogicalDriver::m_bScanRAF}, FT_RAF},
  };
  for (auto& c : cases) {
    Volume v;
    for (F f : c.flags) v.*f = 1;
    EXPECT_EQ(v.MatchSignature(0, c.unit.data()), c.expected) << c.what;
  }
  // Every flag clear: nothing for any header.
  Volume none;
  for (auto& c : cases) EXPECT_EQ(none.MatchSignature(0, c.unit.data()), kNoFileType) << c.what;
}

TEST(Signature, BigEndianTiffMagicFallsThroughTo3ds) {
  Volume v;
  v.m_bScan3DS = 1;
  auto u = Unit({'M', 'M', 0x00, 0x2A, 0, 0, 0x02, 0x00});
  u[16] = '=';
  u[17] = '=';
  EXPECT_EQ(v.MatchSignature(0, u.data()), FT_3DS);
  v.m_bScanTIF = 1;
  EXPECT_EQ(v.MatchSignature(0, u.data()), FT_TIFF);
}

TEST(Signature, DxfFilesByTheirFirstGroup) {
  // A DXF file begins with the group 0 / SECTION (after an optional 999 comment), lines ending
  // in CR LF or LF; the same group inside a file (every section begins with it) is no start.
  Volume v;
  v.m_bScanDXF = 1;
  struct Case {
    const char* what;
    std::string head;
    uint16_t type;
  } cases[] = {
      {"CR LF", "  0\r\nSECTION\r\n  2\r\nHEADER\r\n", FT_DXF},
      {"LF", "0\nSECTION\n2\nHEADER\n", FT_DXF},
      {"after a comment", "999\nmade by a CAD program\n  0\nSECTION\n", FT_DXF},
      {"a later section", "ENDSEC\n  0\nSECTION\n  2\nENTITIES\n", kNoFileType},
      {"another group first", "  2\r\nHEADER\r\n  0\r\nSECTION\r\n", kNoFileType},
      {"a longer word", "  0\r\nSECTIONS\r\n", kNoFileType},
      {"no line end after it", "  0\nSECTION", kNoFileType},
  };
  for (const auto& c : cases) {
    auto u = Text(c.head.c_str(), c.head.size());
    EXPECT_EQ(v.MatchSignature(0, u.data()), c.type) << c.what;
  }
}
