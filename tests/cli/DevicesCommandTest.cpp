#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Fixtures.h"

namespace {
std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> v;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) v.push_back(nlohmann::json::parse(line));
  return v;
}
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }
}  // namespace

TEST(DevicesCommand, ListsImagesAsBothTopItemsShowThemAndLeavesThemUnchanged) {
  std::string disk = FixturePath("disk.img"), fat = FixturePath("fat32.img");
  std::string before = Sha256OfFile(disk) + Sha256OfFile(fat);
  std::string out, err;
  ASSERT_EQ(RunCommand(Cli("devices --no-system --json --image " + ShellQuote(disk) + " --image " + ShellQuote(fat)),
                       &out, &err),
            0)
      << err;
  auto lines = JsonLines(out);
  ASSERT_EQ(lines.size(), 5u + 2u);
  EXPECT_EQ(lines[0]["kind"], "volume");
  EXPECT_EQ(lines[0]["fs"], "FAT12");
  EXPECT_EQ(lines[3]["fs"], "NTFS");
  EXPECT_EQ(lines[3]["path"], disk);
  EXPECT_EQ(lines[3]["offset_bytes"], 124928u * 512);
  EXPECT_EQ(lines[4]["name"], fat + " (QFAT32)");
  EXPECT_EQ(lines[4]["removable"], false);
  EXPECT_EQ(lines[5]["kind"], "disk");
  EXPECT_EQ(lines[5]["name"], "disk.img");
  EXPECT_EQ(lines[5]["size_bytes"], 80u << 20);
  EXPECT_EQ(Sha256OfFile(disk) + Sha256OfFile(fat), before);

  ASSERT_EQ(RunCommand(Cli("devices --no-system --image " + ShellQuote(disk)), &out, &err), 0);
  EXPECT_NE(out.find("My Computer"), std::string::npos);
  EXPECT_NE(out.find("Physical Drives"), std::string::npos);
  EXPECT_NE(out.find("(DISKNTFS)"), std::string::npos);
  EXPECT_NE(out.find("80 MB"), std::string::npos);
}

TEST(DevicesCommand, BadPathsAreNamedAndTheRestIsStillListed) {
  std::string out, err;
  int rc = RunCommand(Cli("devices --no-system --json --image /nonexistent.img --image " +
                          ShellQuote(FixturePath("notfs.img")) + " --image " + ShellQuote(FixturePath("fat12.img"))),
                      &out, &err);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(err.find("/nonexistent.img"), std::string::npos);
  EXPECT_NE(err.find("notfs.img: no FAT, exFAT or NTFS volume found"), std::string::npos);
  auto lines = JsonLines(out);
  ASSERT_EQ(lines.size(), 3u);  // fat12 volume, notfs disk, fat12 disk
  EXPECT_EQ(lines[0]["fs"], "FAT12");
  EXPECT_EQ(RunCommand(Cli("devices --bogus"), &out, &err), 2);
  EXPECT_EQ(RunCommand(Cli(""), &out, &err), 2);
}

TEST(DevicesCommand, ReservedTemporaryFilesAreGoneAfterTheRun) {
  std::string dir = std::string(::testing::TempDir()) + "quarrow-cli-tmp-" + std::to_string(::getpid());
  std::string out, err;
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(dir), nullptr, nullptr), 0);
  // A normal run and a run that fails on bad input both leave the folder empty.
  EXPECT_EQ(RunCommand("TMPDIR=" + ShellQuote(dir) + " " + Cli("devices --no-system"), &out, &err), 0);
  EXPECT_EQ(RunCommand("TMPDIR=" + ShellQuote(dir) + " " + Cli("devices --no-system --image /nonexistent"), &out, &err), 2);
  EXPECT_EQ(RunCommand("ls -A " + ShellQuote(dir), &out, &err), 0);
  EXPECT_EQ(out, "");
  RunCommand("rm -rf " + ShellQuote(dir), nullptr, nullptr);
}
