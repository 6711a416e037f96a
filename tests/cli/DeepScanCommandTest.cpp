#include <csignal>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

fs::path Scratch(const std::string& name) {
  fs::path p = fs::path(::testing::TempDir()) / ("quarrow-deepscan-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  RemovedAtExit(p.string());
  return p;
}

}  // namespace

TEST(DeepScanCommand, BadArgumentsAndSourcesExitWithTwo) {
  auto dir = Scratch("args");
  std::string img = (dir / "small.img").string();
  { std::ofstream(img, std::ios::binary) << std::string(64 * 512, '\0'); }
  std::string out, err;
  struct Case {
    std::string args;
    const char* message;
  } cases[] = {
      {"deepscan /nonexistent.img", "/nonexistent.img"},
      {"deepscan " + ShellQuote(img) + " --types jpg,bogus", "unknown type name(s): bogus"},
      {"deepscan " + ShellQuote(img) + " --first 10 --last 5", "not within"},
      {"deepscan " + ShellQuote(img) + " --last 64", "not within"},
      {"deepscan " + ShellQuote(img) + " --to " + ShellQuote((dir / "no" / "such").string()), "cannot create"},
      {"deepscan", "SOURCE"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunCommand(Cli(c.args), &out, &err), 2) << c.args;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.args << ": " << err;
  }
  EXPECT_EQ(RunCommand(Cli("deepscan " + ShellQuote(img) + " --types all --json"), &out, &err), 0) << err;
  EXPECT_EQ(out, "");
  fs::remove_all(dir);
}

TEST(DeepScanCommand, CtrlCStopsTheScanAndKeepsWhatWasFound) {
  // A large sparse image: files near its start, then gigabytes of holes that take a few
  // seconds to scan.
  auto dir = Scratch("stop");
  std::string img = (dir / "big.img").string();
  {
    std::fstream f(img, std::ios::out | std::ios::binary | std::ios::trunc);
    PutBmp(f, 10 * 512, 3000);
    PutBmp(f, 40 * 512, 700);
  }
  fs::resize_file(img, 64ULL << 30);
  std::string outDir = (dir / "out").string();
  int outPipe[2];
  ASSERT_EQ(::pipe(outPipe), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 2);
    ::execl(QUARROW_CLI_PATH, QUARROW_CLI_PATH, "deepscan", img.c_str(), "--types", "bmp", "--json", "--to",
            outDir.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(outPipe[1]);
  // Once the scan has read well past the files (its reads show in /proc/PID/io), Ctrl-C.
  const std::string io = "/proc/" + std::to_string(pid) + "/io";
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::ifstream in(io);
        for (std::string key; in >> key;) {
          uint64_t value = 0;
          in >> value;
          if (key == "rchar:") return value > (16u << 20);
        }
        return false;
      },
      std::chrono::seconds(60)))
      << "the scan did not get going";
  ::kill(pid, SIGINT);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(outPipe[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  ::close(outPipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the scan should have been stopped, not completed";
  EXPECT_NE(out.find("\"name\":\"FILE_1.BMP\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"name\":\"FILE_2.BMP\""), std::string::npos) << out;
  EXPECT_EQ(fs::file_size(fs::path(outDir) / "FILE_1.BMP"), 3000u);
  EXPECT_EQ(fs::file_size(fs::path(outDir) / "FILE_2.BMP"), 700u);
  fs::remove_all(dir);
}

TEST(DeepScanCommand, SizeFiltersAndTypeFoldersChooseWhatIsListedAndWritten) {
  // The MBR disk holds text files (53 bytes to 3 KiB) and JPEGs of 14,436 and 70,000 bytes.
  const std::string disk = FixturePath("disk.img");
  auto dir = Scratch("filters");
  std::string out, err;
  auto sizes = [](const std::string& json) {
    std::multiset<uint64_t> v;
    std::istringstream lines(json);
    for (std::string l; std::getline(lines, l);) v.insert(nlohmann::json::parse(l).at("size").get<uint64_t>());
    return v;
  };
  ASSERT_EQ(RunCommand(Cli("deepscan " + ShellQuote(disk) + " --disk --types jpg,txt --json"), &out, &err), 0) << err;
  const auto all = sizes(out);
  ASSERT_GT(all.size(), 10u);
  std::multiset<uint64_t> want;
  for (uint64_t n : all)
    if (n >= 10240 && n <= 69999) want.insert(n);
  ASSERT_FALSE(want.empty());
  ASSERT_EQ(RunCommand(Cli("deepscan " + ShellQuote(disk) + " --disk --types jpg,txt --json --min-size 10k --max-size 69999"),
                       &out, &err),
            0)
      << err;
  EXPECT_EQ(sizes(out), want);
  EXPECT_NE(err.find(std::to_string(want.size()) + " of them within the size range"), std::string::npos) << err;

  ASSERT_EQ(RunCommand(Cli("deepscan " + ShellQuote(disk) + " --disk --types jpg,txt --min-size 1k --by-type --to " +
                           ShellQuote((dir / "out").string())),
                       &out, &err),
            0)
      << err;
  std::map<std::string, size_t> perFolder;
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
    if (!e.is_regular_file()) continue;
    EXPECT_GE(e.file_size(), 1024u) << e.path();
    ++perFolder[e.path().parent_path().filename().string() + "/" + e.path().extension().string()];
  }
  EXPECT_EQ(perFolder["jpg/.JPG"] + perFolder["txt/.TXT"], size_t(std::count_if(all.begin(), all.end(), [](uint64_t n) { return n >= 1024; })));
  EXPECT_GT(perFolder["jpg/.JPG"], 0u);
  EXPECT_GT(perFolder["txt/.TXT"], 0u);
  EXPECT_EQ(perFolder.size(), 2u);
}
