// Status words on evidence only: real files written and deleted by mtools whose clusters are
// free and whose bytes are intact are rated Excellent, whatever types the user last picked
// for a deep scan; an empty deleted file has nothing to lose.
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

TEST(DeletedStatus, IntactDeletedFilesAreExcellent) {
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-status-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  RemovedAtExit(work.string());
  const std::string image = (work / "fat.img").string();
  const fs::path corpus = fs::path(QUARROW_FIXTURE_DIR) / "carving";
  const char* names[] = {"letter.doc", "slides.ppt", "plain.zip", "table.xls", "picture.png", "writer.pdf"};
  std::string cmd = "mkfs.fat -C -F 16 -S 512 -s 4 " + ShellQuote(image) + " 16384 >/dev/null && : > " +
                    ShellQuote((work / "empty.txt").string());
  for (const char* n : names) cmd += " && mcopy -i " + ShellQuote(image) + " " + ShellQuote((corpus / n).string()) + " ::";
  cmd += " && mcopy -i " + ShellQuote(image) + " " + ShellQuote((work / "empty.txt").string()) + " ::";
  for (const char* n : names) cmd += " && mdel -i " + ShellQuote(image) + " ::" + n;
  cmd += " && mdel -i " + ShellQuote(image) + " ::empty.txt";
  ASSERT_EQ(RunCommand(cmd, nullptr, nullptr), 0) << cmd;

  std::string out, err;
  ASSERT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " list " + ShellQuote(image) + " --json", &out, &err), 0) << err;
  std::map<std::string, std::string> status;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    const auto j = nlohmann::json::parse(l);
    status[j["name"]] = j["status"];
  }
  // Deleted names lost their first character; mtools marks these all-lower-case 8.3 names
  // as lower case (byte 12), so they are shown in lower case.
  for (std::string n : {"letter.doc", "slides.ppt", "plain.zip", "table.xls", "picture.png", "writer.pdf", "empty.txt"}) {
    const std::string shown = "_" + n.substr(1);
    ASSERT_TRUE(status.count(shown)) << shown << " in " << out;
    EXPECT_EQ(status[shown], "Excellent") << n;
  }
  fs::remove_all(work);
}
