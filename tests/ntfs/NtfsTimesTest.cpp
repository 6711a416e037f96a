// NTFS items show the $STANDARD_INFORMATION times, as Windows and The Sleuth Kit do, and
// list --json gives the $FILE_NAME times under their own keys. Checked against `istat` on
// a Windows-made volume whose two sets of times differ.
#include <filesystem>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
// The times istat prints for a record: the first block ($STANDARD_INFORMATION) and the
// second ($FILE_NAME), as "YYYY-MM-DDTHH:MM:SSZ" for Created, File Modified and Accessed.
std::vector<std::vector<std::string>> IstatTimes(const std::string& image, uint64_t record) {
  std::string out;
  EXPECT_EQ(RunCommand("istat -z UTC -o 128 " + ShellQuote(image) + " " + std::to_string(record), &out, nullptr), 0);
  std::vector<std::vector<std::string>> blocks;
  const std::regex line(R"(^(Created|File Modified|Accessed):\s+(\d{4}-\d\d-\d\d) (\d\d:\d\d:\d\d))");
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("$STANDARD_INFORMATION", 0) == 0 || l.rfind("$FILE_NAME", 0) == 0) blocks.emplace_back();
    std::smatch m;
    if (!blocks.empty() && std::regex_search(l, m, line)) blocks.back().push_back(m[2].str() + "T" + m[3].str() + "Z");
  }
  return blocks;
}
}  // namespace

TEST(NtfsTimes, ShownTimesAreTheStandardInformationOnes) {
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-ntfs-times-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  const std::string image = (work / "disk.raw").string();
  ASSERT_EQ(RunCommand("gunzip -c " +
                           ShellQuote((fs::path(QUARROW_WINDOWS_DATA_DIR) / "win10-ntfs-si-vs-fn.raw.gz").string()) +
                           " > " + ShellQuote(image),
                       nullptr, nullptr),
            0);
  std::string out, err;
  ASSERT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " list " + ShellQuote(image) +
                           " --partition 1 --recursive --all --json",
                       &out, &err),
            0)
      << err;
  size_t checked = 0, differing = 0;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    const auto j = nlohmann::json::parse(l);
    if (!j.contains("record") || !j.contains("fn_created_utc")) continue;
    const auto blocks = IstatTimes(image, j["record"]);
    ASSERT_GE(blocks.size(), 2u) << j["path"];
    ASSERT_EQ(blocks[0].size(), 3u) << j["path"];
    ASSERT_EQ(blocks[1].size(), 3u) << j["path"];
    EXPECT_EQ(j["created_utc"], blocks[0][0]) << j["path"];
    EXPECT_EQ(j["modified_utc"], blocks[0][1]) << j["path"];
    EXPECT_EQ(j["accessed_utc"], blocks[0][2]) << j["path"];
    EXPECT_EQ(j["fn_created_utc"], blocks[1][0]) << j["path"];
    EXPECT_EQ(j["fn_modified_utc"], blocks[1][1]) << j["path"];
    EXPECT_EQ(j["fn_accessed_utc"], blocks[1][2]) << j["path"];
    ++checked;
    differing += blocks[0] != blocks[1];
  }
  EXPECT_GT(checked, 3u);
  EXPECT_GE(differing, 1u) << "the image's edited file should show different times";
  fs::remove_all(work);
}
