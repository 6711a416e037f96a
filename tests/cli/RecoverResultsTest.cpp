// What recover says and makes beyond the files: the --all hint only for an item that exists,
// and no empty results folders in the destination.
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"

namespace fs = std::filesystem;

TEST(RecoverResults, HintsOnlyWhereTrueAndMakesNoEmptyResultsFolders) {
  const fs::path out = fs::path(::testing::TempDir()) / ("quarrow-results-" + std::to_string(::getpid()));
  fs::remove_all(out);
  fs::create_directories(out);
  const std::string cli = QUARROW_CLI_PATH;
  std::string err;
  EXPECT_EQ(RunCommand(cli + " recover " + ShellQuote(FixturePath("fat16.img")) + " README.TXT nothere.txt --to " +
                           ShellQuote(out.string()),
                       nullptr, &err),
            1);
  EXPECT_NE(err.find("README.TXT: no such item (an existing file: it needs --all)"), std::string::npos) << err;
  EXPECT_NE(err.find("nothere.txt: no such item\n"), std::string::npos) << err;

  // The whole NTFS volume: "LostFiles" (no deep scan ran) is not made; "DeletedFiles" holds
  // the orphans and is.
  ASSERT_EQ(RunCommand(cli + " recover " + ShellQuote(NtfsFixturePath("ntfs-4k.img")) + " / --all --to " +
                           ShellQuote(out.string()),
                       nullptr, &err),
            0)
      << err;
  fs::path top;
  for (const auto& e : fs::directory_iterator(out))
    if (e.is_directory()) top = e.path();
  ASSERT_FALSE(top.empty());
  EXPECT_FALSE(fs::exists(top / "LostFiles"));
  EXPECT_TRUE(fs::exists(top / "DeletedFiles" / "dir_1"));
  fs::remove_all(out);
}
