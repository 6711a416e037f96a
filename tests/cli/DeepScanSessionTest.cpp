// deepscan --session / --resume: a scan killed at random points and resumed each time ends
// with the results of one uninterrupted scan; a session is refused for another source.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

struct SessionCase {
  const char* szName;
  const char* szImage;
  const char* szOptions;
};
void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.szName; }

class DeepScanSessionTest : public ::testing::TestWithParam<SessionCase> {};
}  // namespace

TEST_P(DeepScanSessionTest, KilledAndResumedScansEndAsOneUninterruptedScan) {
  const SessionCase& c = GetParam();
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-session-" + std::string(c.szName) + "-" +
                                                         std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  RemovedAtExit(dir.string());
  const std::string source = ShellQuote(FixturePath(c.szImage));
  const std::string session = ShellQuote((dir / "scan.session").string());
  std::string whole, out, err;
  ASSERT_EQ(RunCommand(Cli("deepscan " + source + " " + c.szOptions + " --json"), &whole, &err), 0) << err;
  ASSERT_NE(whole, "");

  // How long a scan takes when it writes its session at every step (the slowest way, and the
  // one with the most writes for a kill to land in).
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(RunCommand(Cli("deepscan " + source + " " + c.szOptions + " --json --save-every 0 --session " +
                           ShellQuote((dir / "timing.session").string())),
                       &out, &err),
            0)
      << err;
  EXPECT_EQ(out, whole);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::mt19937 random(20261211);
  std::uniform_real_distribution<double> when(0.02, 0.6);
  int kills = 0;
  bool done = false;
  for (int attempt = 0; attempt < 60 && !done; ++attempt) {
    const bool resume = fs::exists(dir / "scan.session");
    const std::string cmd = Cli("deepscan " + source + " --json --save-every 0 " +
                                (resume ? "--resume " + session : std::string(c.szOptions) + " --session " + session));
    // The first runs are killed at random points; later ones may finish.
    const double delay = attempt < 8 ? when(random) * seconds : 60.0;
    const int status = RunCommand("timeout -s KILL " + std::to_string(delay) + " " + cmd, &out, &err);
    if (status == 0) {
      done = true;
    } else {
      ASSERT_EQ(status, 137) << err;
      ++kills;
    }
  }
  ASSERT_TRUE(done);
  EXPECT_GE(kills, 1);
  EXPECT_EQ(out, whole);
  // A finished session resumed again gives the same results without scanning.
  ASSERT_EQ(RunCommand(Cli("deepscan " + source + " --json --resume " + session), &out, &err), 0) << err;
  EXPECT_EQ(out, whole);
}

INSTANTIATE_TEST_SUITE_P(Sources, DeepScanSessionTest,
                         ::testing::Values(SessionCase{"disk", "disk.img", "--types all"},
                                           // Rebuilt lost folders (dir_N) are put back too.
                                           SessionCase{"lostfolders", "reformatted.img", "--scan-dir --types all"}),
                         [](const auto& info) { return std::string(info.param.szName); });

TEST(DeepScanSession, RefusedForAnotherSourceAndWithOptionsOfItsOwn) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-session-refuse-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  RemovedAtExit(dir.string());
  const std::string session = ShellQuote((dir / "s.session").string());
  std::string out, err;
  ASSERT_EQ(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("fat16.img")) + " --session " + session), &out, &err),
            0)
      << err;
  // Another image of the same size: its first sectors differ.
  EXPECT_EQ(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("ntfs.img")) + " --resume " + session), &out, &err),
            2);
  EXPECT_NE(err.find("its first sectors differ"), std::string::npos) << err;
  EXPECT_EQ(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("fat12.img")) + " --resume " + session), &out, &err),
            2);
  EXPECT_NE(err.find("its size is"), std::string::npos) << err;
  EXPECT_EQ(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("fat16.img")) + " --types jpg --resume " + session),
                       &out, &err),
            2);
  EXPECT_NE(err.find("leave them out"), std::string::npos) << err;
  // A file that is not a session.
  EXPECT_EQ(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("fat16.img")) + " --resume " +
                           ShellQuote(FixturePath("manifest.json"))),
                       &out, &err),
            2);
  EXPECT_NE(err.find("not a deep-scan session"), std::string::npos) << err;
}
