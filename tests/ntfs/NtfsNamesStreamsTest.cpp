// What a record holds beside one name and one stream, on a volume written by ntfs-3g
// (tests/fixtures/make_ntfs_links.sh): the long name never its DOS name, every hard link in
// its own folder, each named stream as "NAME:STREAM", deleted files with their streams, and
// sparse files written with their holes. The Sleuth Kit (fls, icat) on the same image is the
// reference for every name and every byte (ntfs-3g's ntfscat for the sparse file).
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
struct FlsItem {
  std::string inode;
  bool dir = false, deleted = false;
};

std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }
}  // namespace

TEST(NtfsNamesAndStreams, EveryNameAndStreamAsTheSleuthKitReadsThem) {
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-links-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  RemovedAtExit(work.string());
  std::string out, err;
  ASSERT_EQ(RunCommand(ShellQuote(std::string(QUARROW_FIXTURE_DIR) + "/make_ntfs_links.sh") + " " +
                           ShellQuote(work.string()),
                       &out, &err),
            0)
      << err;
  const std::string image = (work / "ntfs-links.img").string();
  const std::string before = Sha256OfFile(image);

  // fls: "r/r 65-128-4:\tnotes.txt:Zone.Identifier", "-/r * 70-128-2:\tgone.txt".
  ASSERT_EQ(RunCommand("fls -r -p " + ShellQuote(image), &out, &err), 0) << err;
  std::map<std::string, FlsItem> reference;
  const std::regex line(R"(^(\S)/(\S) (\* )?([0-9-]+):\t(.*)$)");
  std::istringstream flsLines(out);
  for (std::string l; std::getline(flsLines, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, line) || m[5].str().find('$') != std::string::npos) continue;
    reference[m[5]] = {m[4], m[2] == "d", m[3].matched};
  }
  ASSERT_GE(reference.size(), 12u);

  ASSERT_EQ(RunCommand(Cli("list " + ShellQuote(image) + " --recursive --all --json"), &out, &err), 0) << err;
  std::map<std::string, nlohmann::json> listed;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    auto j = nlohmann::json::parse(l);
    if (j["path"] != "LostFiles" && j["path"] != "DeletedFiles") listed[j["path"]] = j;
  }
  // The same items, no more: no DOS name beside a long one, no link left out.
  std::vector<std::string> ours, theirs;
  for (const auto& [path, j] : listed) ours.push_back(path);
  for (const auto& [path, item] : reference) theirs.push_back(path);
  EXPECT_EQ(ours, theirs);

  // Streams say what they are and whose they are; hard links share their record.
  EXPECT_EQ(listed["notes.txt:Zone.Identifier"]["stream"], "Zone.Identifier");
  EXPECT_EQ(listed["notes.txt:Zone.Identifier"]["owner_path"], "notes.txt");
  EXPECT_EQ(listed["gone.txt:keep"]["deleted"], true);
  EXPECT_FALSE(listed["notes.txt"].contains("stream"));
  EXPECT_EQ(listed["b/linked.bin"]["record"], listed["a/original.bin"]["record"]);
  EXPECT_EQ(listed["a/second name.bin"]["record"], listed["a/original.bin"]["record"]);
  // A freed record's sequence number has moved on by one from its folder's reference.
  EXPECT_EQ(listed["gone.txt"]["sequence"], 2);
  EXPECT_EQ(listed["notes.txt"]["sequence"], 1);

  for (const auto& [path, item] : reference) {
    if (item.dir) continue;
    EXPECT_EQ(listed[path]["deleted"], item.deleted) << path;
    const fs::path dest = work / ("out-" + item.inode);
    fs::create_directories(dest);
    ASSERT_EQ(RunCommand(Cli("recover " + ShellQuote(image) + " --all " + ShellQuote(path) + " --to " +
                             ShellQuote(dest.string())),
                         &out, &err),
              0)
        << path << ": " << err;
    const std::string leaf = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    const std::string expected = (work / ("icat-" + item.inode)).string();
    // The Sleuth Kit refuses a sparse run longer than the volume; ntfs-3g reads that file.
    const std::string reader = path == "sparse.bin" ? "ntfscat " + ShellQuote(image) + " sparse.bin"
                                                    : "icat " + ShellQuote(image) + " " + item.inode;
    ASSERT_EQ(RunCommand(reader + " > " + ShellQuote(expected), nullptr, &err), 0) << err;
    EXPECT_EQ(Sha256OfFile((dest / leaf).string()), Sha256OfFile(expected)) << path;
    // The file alone: its streams are items of their own.
    EXPECT_EQ(fs::file_size(dest / leaf), fs::file_size(expected)) << path;
  }
  // 256 MiB with 1 MiB of data takes about 1 MiB on the destination.
  struct stat st {};
  ASSERT_EQ(::stat((work / ("out-" + reference["sparse.bin"].inode) / "sparse.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 256 << 20);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 4u << 20);

  EXPECT_EQ(Sha256OfFile(image), before);
  fs::remove_all(work);
}
