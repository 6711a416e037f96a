// The rescue map: GNU ddrescue's mapfile format read and written, and the block
// bookkeeping the imager relies on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/Fixtures.h"
#include "tasks/RescueMap.h"

namespace {
std::string Describe(const CRescueMap& m) {
  std::string out;
  for (const auto& b : m.Blocks()) out += std::to_string(b.nPos) + "+" + std::to_string(b.nSize) + b.cStatus + " ";
  return out;
}

std::filesystem::path TempDir() {
  auto dir = std::filesystem::temp_directory_path() /
             ("quarrow-map-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}
}  // namespace

TEST(RescueMapTest, ReadsTheFormatAsDdrescueWritesIt) {
  // The layout of ddrescue's own mapfiles, comments and all, with a CR before one newline.
  const std::string text =
      "# Mapfile. Created by GNU ddrescue version 1.27\n"
      "# Command line: ddrescue -d /dev/sdb disk.img disk.map\n"
      "# current_pos  current_status  current_pass\n"
      "0x00120000     *               1\r\n"
      "#      pos        size  status\n"
      "0x00000000  0x00117000  +\n"
      "0x00117000  0x00000200  -\n"
      "0x00117200  0x00001000  /\n"
      "0x00118200  0x00007E00  *\n"
      "0x00120000  0x00048000  ?\n";
  CRescueMap m;
  std::string error;
  ASSERT_TRUE(m.Parse(text, 0x168000, &error)) << error;
  EXPECT_EQ(m.m_nCurrentPos, 0x120000u);
  EXPECT_EQ(m.m_cCurrentStatus, '*');
  EXPECT_EQ(m.m_nCurrentPass, 1);
  EXPECT_EQ(Describe(m), "0+1142784+ 1142784+512- 1143296+4096/ 1147392+32256* 1179648+294912? ");
  EXPECT_EQ(m.Count('+'), 0x117000u);
  EXPECT_EQ(m.StatusAt(0x117000), '-');
  EXPECT_EQ(m.StatusAt(0x1171FF), '-');
  EXPECT_EQ(m.StatusAt(0x117200), '/');

  // Written and read again it is the same map; two columns in the status line (older
  // ddrescue) and decimal numbers read too.
  CRescueMap again;
  ASSERT_TRUE(again.Parse(m.Format(), 0x168000, &error)) << error;
  EXPECT_EQ(Describe(again), Describe(m));
  ASSERT_TRUE(again.Parse("0 ?\n0 1024 +\n1024 1024 -\n", 4096, &error)) << error;
  EXPECT_EQ(Describe(again), "0+1024+ 1024+1024- 2048+2048? ");
}

TEST(RescueMapTest, DescribesTheWholeSourceWhateverTheTextCovers) {
  // A map that starts late or ends early: the rest is not tried.
  CRescueMap m;
  std::string error;
  ASSERT_TRUE(m.Parse("0x400 +\n0x400 0x200 +\n", 0x1000, &error)) << error;
  EXPECT_EQ(Describe(m), "0+1024? 1024+512+ 1536+2560? ");
}

TEST(RescueMapTest, RefusesWhatIsNotAMapOfThisSource) {
  struct Case {
    const char* text;
    const char* why;
  } cases[] = {
      {"", "no status line"},
      {"# only comments\n", "no status line"},
      {"MZ\x90\x00 binary\n", "status line"},
      {"0 ?\n0 0x200 +\n0x400 0x200 -\n", "does not follow"},       // a gap
      {"0 ?\n0 0x400 +\n0x200 0x200 -\n", "does not follow"},       // an overlap
      {"0 ?\n0 0x200 x\n", "unknown block status"},
      {"0 ?\n0 0 +\n", "size 0"},
      {"0 ?\n0 0x2000 +\n", "past the end"},                         // a map of a larger disk
      {"0 ?\n0xFFFFFFFFFFFFFF00 0x200 +\n", "64 bits"},
      {"0 ?\n0 99999999999999999999999 +\n", "not a mapfile block"},  // does not fit
      {"0 Q\n", "status line"},
      {"0 ?\n0 0x200 + extra\n", "not a mapfile block"},
  };
  for (const auto& c : cases) {
    CRescueMap m;
    std::string error;
    EXPECT_FALSE(m.Parse(c.text, 0x1000, &error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
    // A refused text leaves an empty map of the source, never half of one.
    EXPECT_EQ(Describe(m), "0+4096? ");
  }
}

TEST(RescueMapTest, SetSplitsAndMergesBlocks) {
  CRescueMap m(8192);
  m.Set(1024, 512, '+');
  m.Set(1536, 512, '+');  // joins the block before it
  EXPECT_EQ(Describe(m), "0+1024? 1024+1024+ 2048+6144? ");
  m.Set(0, 1024, '+');    // joins the block after it
  m.Set(4096, 100000, '-');  // clipped to the map
  EXPECT_EQ(Describe(m), "0+2048+ 2048+2048? 4096+4096- ");
  m.Set(2048, 2048, '+');  // one block of each status left
  EXPECT_EQ(Describe(m), "0+4096+ 4096+4096- ");
  m.Set(5000, 10, '/');
  EXPECT_EQ(Describe(m), "0+4096+ 4096+904- 5000+10/ 5010+3182- ");
  CRescueMap::Block b;
  ASSERT_TRUE(m.Next('-', 4500, 8192, &b));
  EXPECT_EQ(b.nPos, 4500u);
  EXPECT_EQ(b.nSize, 500u);
  ASSERT_TRUE(m.Next('-', 5000, 6000, &b));
  EXPECT_EQ(b.nPos, 5010u);
  EXPECT_EQ(b.nSize, 990u);
  EXPECT_FALSE(m.Next('?', 0, 8192, &b));
  EXPECT_EQ(m.Count('-', 4096, 5010), 904u);
}

TEST(RescueMapTest, SavesAtomicallyAndDdrescuelogReadsIt) {
  auto dir = TempDir();
  const std::string path = (dir / "copy.map").string();
  CRescueMap m(1 << 20);
  m.Set(0, 65536, '+');
  m.Set(65536, 512, '-');
  m.Set(66048, 1024, '/');
  m.Set(200000, 4096, '*');
  m.m_nCurrentPos = 66048;
  m.m_cCurrentStatus = '/';
  m.m_header = {"a test map"};
  std::string error;
  ASSERT_TRUE(m.Save(path, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  CRescueMap back;
  ASSERT_TRUE(back.Load(path, 1 << 20, &error)) << error;
  EXPECT_EQ(Describe(back), Describe(m));
  EXPECT_EQ(back.m_cCurrentStatus, '/');

  // GNU ddrescue's own tool reads the map and counts what we count.
  std::string out, err;
  ASSERT_EQ(RunCommand("ddrescuelog --list-blocks=- " + ShellQuote(path), &out, &err), 0) << err;
  EXPECT_EQ(out, "128\n") << "bad sectors as ddrescuelog lists them (512-byte blocks)";
  ASSERT_EQ(RunCommand("ddrescuelog --list-blocks=/ " + ShellQuote(path), &out, &err), 0) << err;
  EXPECT_EQ(out, "129\n130\n");

  // A save into a folder that cannot be written leaves the old map alone.
  const std::string bad = (dir / "missing" / "copy.map").string();
  EXPECT_FALSE(m.Save(bad, &error));
  EXPECT_NE(error.find("missing"), std::string::npos);
  std::filesystem::remove_all(dir);
}
