// FAT listings and recoveries compared with The Sleuth Kit (fls, icat, tsk_recover) on a
// volume made by mkfs.fat and mtools (tests/fixtures/make_fat_deleted_folders.sh): short
// names with the lower-case flags of byte 12, and deleted folders of one and of 56 clusters.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

struct Listed {
  std::string name;
  bool deleted;
  bool operator<(const Listed& o) const { return std::tie(name, deleted) < std::tie(o.name, o.deleted); }
  bool operator==(const Listed& o) const = default;
};

class FatVsSleuthKit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = fs::path(::testing::TempDir()) / ("quarrow-tsk-" + std::to_string(::getpid()));
    fs::remove_all(s_dir);
    std::string out, err;
    const std::string script = std::string(QUARROW_FIXTURE_DIR) + "/make_fat_deleted_folders.sh";
    s_status = RunCommand("bash " + ShellQuote(script) + " " + ShellQuote(s_dir.string()), &out, &err);
    s_log = out + err;
  }
  static void TearDownTestSuite() { fs::remove_all(s_dir); }
  void SetUp() override { ASSERT_EQ(s_status, 0) << s_log; }

  static std::string Image() { return (s_dir / "deleted-folders.img").string(); }
  static fs::path Source(const std::string& path) { return s_dir / "src" / path; }

  // Our listing of a folder (files only) through the command line.
  static std::vector<Listed> Ours(const std::string& folder) {
    std::string out, err;
    EXPECT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " list " + ShellQuote(Image()) + " " + ShellQuote(folder) +
                             " --all --json",
                         &out, &err),
              0)
        << err;
    std::vector<Listed> items;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
      const auto j = nlohmann::json::parse(l);
      if (!j["dir"].get<bool>()) items.push_back({j["name"], j["deleted"]});
    }
    std::sort(items.begin(), items.end());
    return items;
  }

  // fls -r -p: path -> (inode, deleted) of every regular file ("r/r", or "-/r" for an orphan
  // whose name entry is not in a folder it read).
  static std::map<std::string, std::pair<std::string, bool>> Fls() {
    std::string out;
    EXPECT_EQ(RunCommand("fls -r -p " + ShellQuote(Image()), &out, nullptr), 0);
    std::map<std::string, std::pair<std::string, bool>> files;
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
      // "r/r * 1413:\tAfter/_fter.txt", "-/r * 5332:\t$OrphanFiles/_ELETE~1.TXT"
      const size_t tab = l.find('\t'), colon = l.rfind(':', tab);
      const bool file = l.rfind("r/r ", 0) == 0 || l.rfind("-/r ", 0) == 0;
      if (!file || tab == std::string::npos || l.find("(Volume Label Entry)") != std::string::npos) continue;
      const bool deleted = l.compare(4, 2, "* ") == 0;
      const std::string inode = l.substr(deleted ? 6 : 4, colon - (deleted ? 6 : 4));
      files[l.substr(tab + 1)] = {inode, deleted};
    }
    return files;
  }

  // The Sleuth Kit's files of one folder ("" for the root), as names.
  static std::vector<Listed> TheirsIn(const std::string& folder) {
    std::vector<Listed> items;
    for (const auto& [path, info] : Fls()) {
      const size_t slash = path.rfind('/');
      const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
      if (parent == folder) items.push_back({path.substr(slash == std::string::npos ? 0 : slash + 1), info.second});
    }
    std::sort(items.begin(), items.end());
    return items;
  }

  static std::string Recover(const std::vector<std::string>& items, const fs::path& to) {
    fs::create_directories(to);
    std::string cmd = std::string(QUARROW_CLI_PATH) + " recover " + ShellQuote(Image()) + " --all";
    for (const auto& i : items) cmd += " " + ShellQuote(i);
    std::string out, err;
    EXPECT_EQ(RunCommand(cmd + " --to " + ShellQuote(to.string()), &out, &err), 0) << err;
    return err;
  }

  static std::multiset<std::string> DigestsIn(const std::vector<fs::path>& folders) {
    std::multiset<std::string> digests;
    for (const auto& folder : folders)
      for (const auto& e : fs::directory_iterator(folder)) digests.insert(Sha256OfFile(e.path().string()));
    return digests;
  }

  static fs::path s_dir;
  static int s_status;
  static std::string s_log;
};

fs::path FatVsSleuthKit::s_dir;
int FatVsSleuthKit::s_status = -1;
std::string FatVsSleuthKit::s_log;

}  // namespace

// mtools marks all-lower-case base names and extensions in byte 12 of the short entry; the
// root folder is listed as The Sleuth Kit lists it (as Windows shows it), deleted file
// included, and the files come back whole under those names.
TEST_F(FatVsSleuthKit, ShortNamesInTheCaseByte12Asks) {
  std::ifstream in(Image(), std::ios::binary);
  std::vector<uint8_t> head(1024 * 1024);
  in.read(reinterpret_cast<char*>(head.data()), long(head.size()));
  auto le16 = [&](size_t at) { return unsigned(head[at] | (head[at + 1] << 8)); };
  const size_t root = (le16(14) + head[16] * le16(22)) * size_t(le16(11));
  std::map<std::string, uint8_t> caseByte;
  for (size_t e = root; e < root + le16(17) * 32u && head[e] != 0; e += 32)
    caseByte[std::string(reinterpret_cast<const char*>(&head[e]), 11)] = head[e + 12];
  // The fixture exercises the flags: both, base only, extension only, none, deleted.
  EXPECT_EQ(caseByte["EMPTY   DAT"], 0x18);
  EXPECT_EQ(caseByte["LOWER   TXT"], 0x08);
  EXPECT_EQ(caseByte["UP      TXT"], 0x10);
  EXPECT_EQ(caseByte["UPPER   TXT"], 0x00);
  EXPECT_EQ(caseByte["\xE5" "CAN    PNG"], 0x18);

  const std::vector<Listed> expected = {{"MixEd.Txt", false}, {"UP.txt", false},    {"UPPER.TXT", false},
                                        {"_can.png", true},    {"empty.dat", false}, {"lower.TXT", false}};
  EXPECT_EQ(Ours(""), expected);
  EXPECT_EQ(TheirsIn(""), expected);

  const fs::path out = s_dir / "case-out";
  Recover({"empty.dat", "lower.TXT", "UP.txt", "_can.png"}, out);
  for (const char* name : {"empty.dat", "lower.TXT", "UP.txt", "_can.png"})
    EXPECT_EQ(Sha256OfFile((out / name).string()), Sha256OfFile(Source(std::string("root/") + name).string())) << name;
  std::string icat;
  ASSERT_EQ(RunCommand("icat " + ShellQuote(Image()) + " " + Fls().at("_can.png").first, &icat, nullptr), 0);
  EXPECT_EQ(Sha256Hex(icat), Sha256OfFile((out / "_can.png").string()));
}

// Big (56 clusters, no end mark, followed by the deleted folder After), One (one full cluster
// followed by file text) and After are listed and recovered whole. The Sleuth Kit reads a
// deleted folder's first cluster only: what it finds in Big's later clusters it lists under
// $OrphanFiles, with short names. Together they are the same 298 files with the same bytes.
TEST_F(FatVsSleuthKit, DeletedFoldersListEveryClusterOfTheirs) {
  std::vector<Listed> expectedBig;
  for (const auto& e : fs::directory_iterator(Source("Big")))
    expectedBig.push_back({e.path().filename().string(), true});
  std::sort(expectedBig.begin(), expectedBig.end());
  ASSERT_EQ(expectedBig.size(), 298u);
  const std::vector<Listed> big = Ours("Big");
  EXPECT_EQ(big, expectedBig);

  // Every name fls gives under Big is ours; its orphans make up the rest.
  const std::vector<Listed> theirBig = TheirsIn("Big"), theirOrphans = TheirsIn("$OrphanFiles");
  EXPECT_FALSE(theirBig.empty());
  for (const auto& item : theirBig) EXPECT_TRUE(std::binary_search(big.begin(), big.end(), item)) << item.name;
  EXPECT_EQ(theirBig.size() + theirOrphans.size(), big.size());

  // The folders of one cluster are not stretched over what follows them.
  for (const char* folder : {"One", "After"}) {
    std::vector<Listed> ours = Ours(folder);
    EXPECT_EQ(ours, TheirsIn(folder)) << folder;
    EXPECT_EQ(ours.size(), size_t(std::distance(fs::directory_iterator(Source(folder)), fs::directory_iterator())))
        << folder;
  }

  const fs::path out = s_dir / "folders-out", theirs = s_dir / "tsk-out";
  Recover({"Big", "One", "After"}, out);
  for (const auto& e : fs::directory_iterator(Source("Big")))
    EXPECT_EQ(Sha256OfFile((out / "Big" / e.path().filename()).string()), Sha256OfFile(e.path().string()))
        << e.path().filename();
  EXPECT_EQ(Sha256OfFile((out / "One" / "_01.txt").string()), Sha256OfFile(Source("One/f01.txt").string()));
  EXPECT_EQ(Sha256OfFile((out / "After" / "_fter.txt").string()), Sha256OfFile(Source("After/after.txt").string()));

  std::string log;
  ASSERT_EQ(RunCommand("tsk_recover -e " + ShellQuote(Image()) + " " + ShellQuote(theirs.string()), &log, &log), 0)
      << log;
  EXPECT_EQ(DigestsIn({out / "Big"}), DigestsIn({theirs / "Big", theirs / "$OrphanFiles"}));
  EXPECT_EQ(DigestsIn({out / "One"}), DigestsIn({theirs / "One"}));
  EXPECT_EQ(DigestsIn({out / "After"}), DigestsIn({theirs / "After"}));
}
