#include <cstring>

#include <gtest/gtest.h>

#include "support/MemoryVolume.h"
#include "tasks/Progress.h"
#include "platform/Text.h"
#include "tree/OutputFile.h"
#include "support/Hooks.h"

namespace {
// A minimal BMP of total size `size` (the header gives the length; no device read).
std::vector<uint8_t> Bmp(uint32_t size) {
  std::vector<uint8_t> b(size, 0x11);
  std::memset(b.data(), 0, 54);
  b[0] = 'B';
  b[1] = 'M';
  std::memcpy(&b[2], &size, 4);
  b[10] = 54, b[14] = 40, b[18] = 1, b[22] = 1;  // a 1 x 1 picture after a 40-byte info header
  b[26] = 1;
  b[28] = 24;
  return b;
}
void Put(std::vector<uint8_t>& img, const std::vector<uint8_t>& f, size_t sector) {
  if (img.size() < sector * 512 + f.size()) img.resize(sector * 512 + f.size());
  std::copy(f.begin(), f.end(), img.begin() + long(sector * 512));
}
}  // namespace

TEST(Engine, CarvesNamesAndMarksCoveredUnits) {
  std::vector<uint8_t> img(400 * 512, 0);
  Put(img, Bmp(1000), 100);  // units 100 and 101
  Put(img, Bmp(512), 102);
  Put(img, Bmp(2000), 200);
  Put(img, Bmp(3000), 201);  // inside the previous file: never looked at
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, false);
  v.m_bScanBMP = 1;
  uint64_t found = 0;
  ASSERT_TRUE(v.ScanUnits(nullptr, found));
  EXPECT_EQ(found, 3u);
  auto& files = v.m_pLostFolder->m_children;
  ASSERT_EQ(files.size(), 3u);
  const char16_t* names[] = {u"FILE_1.BMP", u"FILE_2.BMP", u"FILE_3.BMP"};
  uint64_t starts[] = {100, 102, 200};
  for (size_t i = 0; i < 3; ++i) {
    auto* f = static_cast<CVirtualFile*>(files[i].get());
    EXPECT_EQ(f->m_strName, names[i]);
    EXPECT_EQ(f->m_nStartUnit, starts[i]);
    EXPECT_EQ(f->m_strExtension, u"BMP");
    EXPECT_TRUE(f->m_bDeleted);
    EXPECT_EQ(f->m_nStatus, STATUS_EXCELLENT);
    EXPECT_EQ(f->GetFullPath(), u"");
  }
  EXPECT_EQ(files[0]->m_nSize, 1000u);
  EXPECT_EQ(files[0]->m_nAllocatedSize, 1024u);

  // A results folder already holding two files numbers the next one 3.
  CMemoryVolume mem2(img);
  auto& w = mem2.Volume();
  SetAllScanFlags(w, false);
  w.m_bScanBMP = 1;
  w.m_nFirstUnit = 100;
  w.m_nLastUnit = 100;
  w.m_pLostFolder->AddChild(std::make_unique<CVirtualFile>());
  w.m_pLostFolder->AddChild(std::make_unique<CVirtualFile>());
  ASSERT_TRUE(w.ScanUnits(nullptr, found));
  EXPECT_EQ(w.m_pLostFolder->m_children.back()->m_strName, u"FILE_3.BMP");
}

TEST(Engine, LengthLimitsAndTheLastUnit) {
  std::vector<uint8_t> img(64 * 512, 0);
  auto tooBig = Bmp(600);
  uint32_t huge = 0x20000000;
  std::memcpy(&tooBig[2], &huge, 4);
  Put(img, tooBig, 10);
  auto zero = Bmp(600);
  std::memset(&zero[2], 0, 4);
  Put(img, zero, 20);
  Put(img, Bmp(5000), 63);  // at the last unit: carved from its header; nothing marked
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, false);
  v.m_bScanBMP = 1;
  uint64_t found = 0;
  ASSERT_TRUE(v.ScanUnits(nullptr, found));
  ASSERT_EQ(v.m_pLostFolder->m_children.size(), 1u);
  EXPECT_EQ(static_cast<CVirtualFile*>(v.m_pLostFolder->m_children[0].get())->m_nStartUnit, 63u);
}

TEST(Engine, CheckFileHeaderVerdicts) {
  std::vector<uint8_t> img(64 * 512, 0);
  Put(img, Bmp(1234), 10);
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, false);
  v.m_bScanBMP = 1;
  CVirtualFile f;
  f.m_strExtension = u"bmp";
  f.m_nSize = 1234;
  StatusReason why;
  EXPECT_EQ(v.CheckFileHeader(10, &f, &why), STATUS_EXCELLENT);
  EXPECT_EQ(why, StatusReason::HeaderMatches);
  f.m_nSize = 1200;
  EXPECT_EQ(v.CheckFileHeader(10, &f, &why), STATUS_POOR);  // its format is longer than the recorded size
  EXPECT_EQ(why, StatusReason::ReadsPastItsEnd);
  f.m_nSize = 2000;
  EXPECT_EQ(v.CheckFileHeader(10, &f, &why), STATUS_GOOD);  // shorter: a trailer may follow
  EXPECT_EQ(why, StatusReason::HeaderEndsEarly);
  f.m_nSize = 1234;
  EXPECT_EQ(v.CheckFileHeader(30, &f, &why), STATUS_POOR);  // zeros where a recognisable type should start
  EXPECT_EQ(why, StatusReason::HeaderMismatch);
  f.m_strExtension = u"txt";
  EXPECT_EQ(v.CheckFileHeader(30, &f, &why), STATUS_GOOD);
  EXPECT_EQ(why, StatusReason::NoHeaderCheck);
  f.m_strExtension = u"dib";
  EXPECT_EQ(v.CheckFileHeader(10, &f), STATUS_GOOD);  // found "BMP", not "DIB"
  EXPECT_EQ(v.CheckFileHeader(10, nullptr), STATUS_GOOD);
  // The check knows every type, whichever the deep scan last used (here only JPEG), and
  // leaves the volume's choice as it was.
  CMemoryVolume plain(img);
  CVirtualDriver& p = plain.Volume();
  SetAllScanFlags(p, false);
  p.m_bScanJPG = 1;
  f.m_strExtension = u"BMP";
  EXPECT_EQ(p.CheckFileHeader(10, &f), STATUS_EXCELLENT);
  EXPECT_EQ(p.m_bScanBMP, 0u);
  EXPECT_EQ(p.m_bScanJPG, 1u);
}

namespace {
class CFileEvents : public IProgressWindow {
 public:
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t m, uint64_t w, int64_t l) override {
    m_events.push_back({m, w, l});
    return 0;
  }
  std::vector<std::tuple<uint32_t, uint64_t, int64_t>> m_events;
};
}  // namespace

TEST(Engine, CarvedFilesAreWrittenSectorBySector) {
  std::vector<uint8_t> img(16 * 512);
  for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t(i * 13 + i / 512);
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  CVirtualFile f;
  f.m_pDriver = &v;
  f.m_nStartUnit = 4;
  f.m_nSize = 1000;
  CMemoryOutputFile out;
  CFileEvents events;
  ASSERT_TRUE(f.WriteContent(out, &events, 0));
  ASSERT_EQ(out.Bytes().size(), 1000u);
  EXPECT_TRUE(std::equal(out.Bytes().begin(), out.Bytes().end(), img.begin() + 4 * 512));
  using E = std::tuple<uint32_t, uint64_t, int64_t>;
  EXPECT_EQ(events.m_events, (std::vector<E>{E{WM_FILEPROGRESS, 1, 0}, E{WM_FILEPROGRESS, 0, 1000},
                                             E{WM_FILEPROGRESS, 1, 512}, E{WM_FILEPROGRESS, 1, 1000},
                                             E{WM_FILEDONE, 0, 0}}));
  // A file running past the readable sectors is reported as failed, with what was read.
  f.m_nStartUnit = 15;
  CMemoryOutputFile cut;
  EXPECT_FALSE(f.WriteContent(cut, nullptr, 0));
  EXPECT_EQ(cut.Bytes().size(), 512u);
}

TEST(Engine, VirtualVolumeGeometryAndTree) {
  CMemoryVolume mem(std::vector<uint8_t>(100 * 512, 0));
  auto& v = mem.Volume();
  EXPECT_EQ(v.m_nFirstUnit, 2u);
  EXPECT_EQ(v.m_nLastUnit, 99u);
  EXPECT_EQ(v.GetFileSystemText(), u"VIRTUAL FS");
  EXPECT_EQ(v.m_pRoot->m_strName, u"memory");
  ASSERT_EQ(v.m_pRoot->m_children.size(), 1u);
  EXPECT_EQ(v.m_pRoot->m_children[0].get(), v.m_pLostFolder);
  EXPECT_EQ(v.m_pLostFolder->m_strName, u"LostFiles");
  EXPECT_FALSE(v.m_pRoot->HasSubfolders(true));
  // Opening the results folder runs the deep scan through the front end's hook.
  int runs = 0;
  {
    CTestHooks hooks;
    hooks.deepScan = [&](CDirectory* folder) { runs += folder == v.m_pLostFolder; };
    v.m_pLostFolder->LoadChildren(true, true, false);
    v.m_pRoot->LoadChildren(true, true, false);
  }
  EXPECT_EQ(runs, 1);
}

TEST(Engine, RandomDataThatBeginsLikeAJpegIsNoFind) {
  // 8 MiB of random bytes, every 16th sector beginning FF D8 as a JPEG does: the marker
  // walk must refuse what follows (no FF before the next marker, markers no JPEG header
  // holds), with every type on.
  std::vector<uint8_t> img(16384 * 512);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (auto& b : img) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    b = uint8_t(x >> 24);
  }
  for (size_t s = 0; s < 16384; s += 16) img[s * 512] = 0xFF, img[s * 512 + 1] = 0xD8;
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, true);
  uint64_t found = 0;
  ASSERT_TRUE(v.ScanUnits(nullptr, found));
  std::string names;
  for (const auto& f : v.m_pLostFolder->m_children) names += text::ToUtf8(f->m_strName) + " ";
  EXPECT_EQ(found, 0u) << names;
}

TEST(Engine, ADbfFindMustLookLikeATable) {
  // A one-field table of 3 records of 10 bytes, and the same bytes with one field of its
  // header broken at a time: only the table is a find, measured with its end-of-file byte.
  std::vector<uint8_t> table(65 + 30 + 1, ' ');
  std::fill(table.begin(), table.begin() + 65, 0);
  table[0] = 0x03, table[1] = 124, table[2] = 5, table[3] = 17;  // 2024-05-17
  table[4] = 3, table[8] = 65, table[10] = 10;
  std::memcpy(&table[32], "NAME", 4);
  table[32 + 11] = 'C', table[32 + 16] = 9;
  table[64] = 0x0D, table.back() = 0x1A;
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
    uint64_t found;
  } cases[] = {{"the table", 0, 0x03, 1}, {"month 13", 2, 13, 0}, {"day 0", 3, 0, 0}, {"no records", 4, 0, 0},
               {"header of 32 bytes", 8, 32, 0}, {"records of 0 bytes", 10, 0, 0}, {"no field type", 43, 'Z', 0},
               {"no terminator", 64, ' ', 0}};
  for (const auto& c : cases) {
    std::vector<uint8_t> img(64 * 512, 0);
    auto t = table;
    t[c.at] = c.value;
    Put(img, t, 10);
    CMemoryVolume mem(img);
    uint64_t found = 0;
    ASSERT_TRUE(mem.ScanFor(&CLogicalDriver::m_bScanDBF, found));
    EXPECT_EQ(found, c.found) << c.what;
    if (found) EXPECT_EQ(mem.Volume().m_pLostFolder->m_children[0]->m_nSize, table.size()) << c.what;
  }
}

TEST(Engine, NoFindIsShorterThanTheSmallestFileOfItsFormat) {
  // Headers whose own length fields make a file shorter than any valid one of the format are
  // no finds; one byte more than the smallest is.
  auto riff = [](uint32_t size) {
    std::vector<uint8_t> b(8 + size, 0x11);
    std::memcpy(b.data(), "RIFF", 4);
    for (int k = 0; k < 4; ++k) b[4 + k] = uint8_t(size >> (8 * k));
    std::memcpy(b.data() + 8, "WAVE", 4);
    return b;
  };
  auto threeDs = [](uint32_t size) {
    std::vector<uint8_t> b(size < 12 ? 12 : size, 0);
    b[0] = 'M', b[1] = 'M', b[6] = '=', b[7] = '=', b[8] = 6;
    for (int k = 0; k < 4; ++k) b[2 + k] = uint8_t(size >> (8 * k));
    return b;
  };
  struct Case {
    const char* what;
    ScanFlag flag;
    std::vector<uint8_t> file;
    uint64_t found;
  } cases[] = {{"WAV of 12 bytes", &CLogicalDriver::m_bScanWAV, riff(4), 0},
               {"WAV of 45 bytes", &CLogicalDriver::m_bScanWAV, riff(37), 1},
               {"3DS whose first chunk runs past it", &CLogicalDriver::m_bScan3DS, threeDs(11), 0},
               {"3DS of 20 bytes", &CLogicalDriver::m_bScan3DS, threeDs(20), 1}};
  for (const auto& c : cases) {
    std::vector<uint8_t> img(64 * 512, 0);
    Put(img, c.file, 10);
    CMemoryVolume mem(img);
    uint64_t found = 0;
    ASSERT_TRUE(mem.ScanFor(c.flag, found));
    EXPECT_EQ(found, c.found) << c.what;
  }
}

TEST(Engine, ATextEndsWhereAFileWrittenRightAfterItBegins) {
  // Text filling whole sectors, each time followed at once by another file (a picture whose
  // first bytes "BM" are text too, an HTML page, which is all text): with every type on,
  // each text stops at the file, which is found whole.
  std::string lines;
  while (lines.size() < 3 * 512) lines += "a line of a log file, written before the next file\n";
  lines.resize(3 * 512);
  const std::vector<uint8_t> text(lines.begin(), lines.end());
  const std::string page = "<html>\n<body><p>" + std::string(700, 'w') + "</p></body>\n</html>\n";
  const std::vector<uint8_t> html(page.begin(), page.end()), bmp = Bmp(3000);
  std::vector<uint8_t> img(64 * 512, 0);
  Put(img, text, 10);
  Put(img, bmp, 13);
  Put(img, text, 30);
  Put(img, html, 33);
  CMemoryVolume mem(img);
  auto& v = mem.Volume();
  SetAllScanFlags(v, true);
  uint64_t found = 0;
  ASSERT_TRUE(v.ScanUnits(nullptr, found));
  std::vector<std::pair<std::string, uint64_t>> finds;
  for (const auto& f : v.m_pLostFolder->m_children) finds.push_back({text::ToUtf8(f->m_strExtension), f->m_nSize});
  const std::vector<std::pair<std::string, uint64_t>> expected = {
      {"TXT", 3 * 512}, {"BMP", 3000}, {"TXT", 3 * 512}, {"HTM", page.size()}};
  EXPECT_EQ(finds, expected);
}
