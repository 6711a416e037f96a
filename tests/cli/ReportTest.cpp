// --report of recover and deepscan: one line per file written, whose runs are where its bytes
// lie in the source and whose digest is of the file as written; the totals last.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ReportCase {
  const char* szName;
  const char* szImage;
  const char* szArgs;  // the command, with SRC, DIR and REPORT to fill in
  const char* szCommand;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.szName; }

class ReportTest : public ::testing::TestWithParam<ReportCase> {};
}  // namespace

TEST_P(ReportTest, EveryFileLineMatchesTheSourceAndTheFileWritten) {
  const ReportCase& c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-report-" + std::string(c.szName) + "-" +
                                                         std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "out");
  RemovedAtExit(dir.string());
  const std::string source = FixturePath(c.szImage), report = (dir / "r.jsonl").string();
  std::string args = c.szArgs;
  auto fill = [&](const std::string& key, const std::string& value) {
    for (size_t at; (at = args.find(key)) != std::string::npos;) args.replace(at, key.size(), value);
  };
  fill("SRC", ShellQuote(source));
  fill("DIR", ShellQuote((dir / "out").string()));
  fill("REPORT", ShellQuote(report));
  std::string out, err;
  ASSERT_EQ(RunCommand(Cli(args), &out, &err), 0) << err;

  const std::string image = ReadAll(source);
  std::istringstream lines(ReadAll(report));
  std::vector<nlohmann::json> items;
  for (std::string line; std::getline(lines, line);) items.push_back(nlohmann::json::parse(line));
  ASSERT_GE(items.size(), 3u);
  const nlohmann::json totals = items.back();
  items.pop_back();
  EXPECT_EQ(totals["type"], "totals");
  EXPECT_EQ(totals["command"], c.szCommand);
  EXPECT_EQ(totals["files_whole"], items.size());
  EXPECT_EQ(totals["complete"], true);
  uint64_t bytes = 0, checkedRuns = 0;
  for (const auto& item : items) {
    SCOPED_TRACE(item.dump());
    ASSERT_EQ(item["type"], "file");
    EXPECT_EQ(item["result"], "whole");
    EXPECT_EQ(item["source_size"], image.size());
    const std::string written = ReadAll(item["written_to"].get<std::string>());
    EXPECT_EQ(written.size(), item["size"].get<uint64_t>());
    EXPECT_EQ(item["sha256"], Sha256Hex(written));
    bytes += item["bytes_written"].get<uint64_t>();
    if (item["runs"].empty()) continue;  // data kept in its record
    // The runs, read from the source in order, are the file.
    std::string fromRuns;
    for (const auto& r : item["runs"]) fromRuns += image.substr(r[0].get<uint64_t>(), r[1].get<uint64_t>());
    EXPECT_EQ(item["offset_bytes"], item["runs"][0][0]);
    EXPECT_EQ(fromRuns, written);
    ++checkedRuns;
  }
  EXPECT_GE(checkedRuns, 2u);
  EXPECT_EQ(totals["bytes_written"], bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ReportTest,
    ::testing::Values(ReportCase{"fat16", "fat16.img", "recover SRC / --all --to DIR --report REPORT", "recover"},
                      ReportCase{"ntfs", "ntfs.img", "recover SRC / --all --to DIR --report REPORT", "recover"},
                      // A partition of a disk: offsets count from the disk's start.
                      ReportCase{"disk", "disk.img", "recover SRC / --partition 2 --all --to DIR --report REPORT",
                                 "recover"},
                      ReportCase{"deepscan", "disk.img", "deepscan SRC --types all --to DIR --report REPORT",
                                 "deepscan"}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST(ReportTest, DeepScanReportNeedsADestination) {
  std::string out, err;
  EXPECT_NE(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("fat16.img")) + " --report /tmp/never.jsonl"), &out,
                       &err),
            0);
  EXPECT_NE(err.find("--to"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists("/tmp/never.jsonl"));
}
