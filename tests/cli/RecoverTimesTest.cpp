// Recovered files and folders keep the modification and access times their file system
// recorded.
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"

namespace fs = std::filesystem;

TEST(RecoverTimes, FilesAndFoldersKeepTheirTimes) {
  const std::string cli = QUARROW_CLI_PATH;
  for (const std::string& image : {FixturePath("fat16.img"), NtfsFixturePath("ntfs-4k.img")}) {
    const fs::path out = fs::path(::testing::TempDir()) / ("quarrow-times-" + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    std::string listing, err;
    ASSERT_EQ(RunCommand(cli + " list " + ShellQuote(image) + " --recursive --all --json", &listing, &err), 0) << err;
    ASSERT_EQ(RunCommand(cli + " recover " + ShellQuote(image) + " / --all --to " + ShellQuote(out.string()), nullptr,
                         &err),
              0)
        << err;
    // Everything lands below one folder named after the volume.
    ASSERT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
    const fs::path top = fs::directory_iterator(out)->path();
    size_t checked = 0;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
      const auto item = nlohmann::json::parse(line);
      const std::string path = item["path"];
      if (path.rfind("LostFiles", 0) == 0 || path.rfind("DeletedFiles", 0) == 0) continue;
      struct stat st {};
      if (::lstat((top / path).c_str(), &st) != 0) continue;  // a name the save had to change
      if (!item["modified_epoch"].is_null()) {
        EXPECT_EQ(int64_t(st.st_mtime), item["modified_epoch"].get<int64_t>()) << image << ": " << path;
        ++checked;
      }
      if (!item["accessed_epoch"].is_null() && !item["dir"].get<bool>())
        EXPECT_EQ(int64_t(st.st_atime), item["accessed_epoch"].get<int64_t>()) << image << ": " << path;
    }
    EXPECT_GT(checked, 10u) << image;
    fs::remove_all(out);
  }
}
