// The NTFS images made by Windows 10 (see tests/data/windows/README.md): every item
// that The Sleuth Kit lists outside the system files is listed with its size, and every
// file is recovered with the expected SHA-256, the compressed 1.txt included.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

class WindowsImages : public ::testing::TestWithParam<const char*> {};
}  // namespace

TEST_P(WindowsImages, ListAndRecoverAsTheSleuthKitDoes) {
  const std::string name = GetParam();
  const fs::path data = QUARROW_WINDOWS_DATA_DIR;
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-win-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work / "out");
  std::string image = (work / "disk.raw").string();
  if (fs::exists(data / (name + ".tgz"))) {
    // A 64 GiB disk stored sparse: unpacked with its holes, hashed by its metadata only.
    ASSERT_EQ(RunCommand("tar -xzf " + ShellQuote((data / (name + ".tgz")).string()) + " --sparse -C " +
                             ShellQuote(work.string()),
                         nullptr, nullptr),
              0);
    image = (work / "ntfs.raw").string();
  } else {
    ASSERT_EQ(RunCommand("gunzip -c " + ShellQuote((data / (name + ".raw.gz")).string()) + " > " + ShellQuote(image),
                         nullptr, nullptr),
              0);
  }
  std::ifstream in(data / (name + ".expected.json"));
  auto expected = nlohmann::json::parse(in);
  const bool large = fs::file_size(image) > (1ull << 31);
  const auto beforeTime = fs::last_write_time(image);
  const std::string before = large ? std::string() : Sha256OfFile(image);

  std::string out, err;
  ASSERT_EQ(RunCommand(Cli("list " + ShellQuote(image) + " --partition 1 --recursive --all --json"), &out, &err), 0)
      << err;
  std::map<std::string, nlohmann::json> listed;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    auto j = nlohmann::json::parse(line);
    listed[j["path"]] = j;
  }
  std::vector<std::string> files;
  for (const auto& item : expected["items"]) {
    std::string path = item["path"];
    // Names beginning with '$' or '.' are never listed; neither is anything below them.
    bool hidden = false;
    std::istringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) hidden = hidden || part[0] == '$' || part[0] == '.';
    if (hidden) continue;
    ASSERT_TRUE(listed.count(path)) << name << ": " << path << " is not listed";
    EXPECT_EQ(listed[path]["dir"], item["dir"]) << path;
    EXPECT_EQ(listed[path]["deleted"], item["deleted"]) << path;
    if (!item["dir"]) {
      EXPECT_EQ(listed[path]["size"], item["size"]) << path;
      files.push_back(path);
    }
  }
  ASSERT_FALSE(files.empty());
  // Nothing beside them: a DOS name is never an item of its own.
  for (const auto& [path, j] : listed) {
    if (path == "LostFiles" || path == "DeletedFiles") continue;
    bool known = false;
    for (const auto& item : expected["items"]) known = known || item["path"] == path;
    EXPECT_TRUE(known) << name << ": " << path << " is listed but not by The Sleuth Kit";
  }
  for (const auto& path : files) {
    fs::path dest = work / "out" / std::to_string(&path - files.data());
    fs::create_directories(dest);
    ASSERT_EQ(RunCommand(Cli("recover " + ShellQuote(image) + " --partition 1 --all " + ShellQuote(path) + " --to " +
                             ShellQuote(dest.string())),
                         &out, &err),
              0)
        << err;
    std::string leaf = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string sha;
    for (const auto& item : expected["items"])
      if (item["path"] == path) sha = item["sha256"];
    EXPECT_EQ(Sha256OfFile((dest / leaf).string()), sha) << name << ": " << path;
  }
  if (large)
    EXPECT_EQ(fs::last_write_time(image), beforeTime);
  else
    EXPECT_EQ(Sha256OfFile(image), before);
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Ntfs, WindowsImages,
                         ::testing::Values("win10-ntfs-lastaccess", "win10-ntfs-ramslack", "win10-ntfs-si-vs-fn",
                                           "win10-20h1-ntfs"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (auto& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });
