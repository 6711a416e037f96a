// A recovery never fills its destination and never floods it: it stops before a file that
// would leave the destination's file system less than its margin, and before the files
// written pass four times the source volume's size (a damaged volume whose entries all point
// at the same clusters). Destinations are small tmpfs mounts made in a private mount
// namespace (`unshare -rm`), so the test needs no root and leaves nothing mounted.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/ByteReader.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

// A 16 MiB FAT16 volume holding files of 1 MiB of random bytes each (MB0.BIN, MB1.BIN, ...).
std::string VolumeWithMegabyteFiles(const fs::path& work, int count) {
  const std::string image = (work / "fat.img").string();
  std::string cmd = "mkfs.fat -C -F 16 -S 512 -s 8 " + ShellQuote(image) + " 16384 >/dev/null";
  for (int i = 0; i < count; ++i) {
    std::string file = (work / ("MB" + std::to_string(i) + ".BIN")).string();
    cmd += " && head -c 1048576 /dev/urandom > " + ShellQuote(file) + " && mcopy -i " + ShellQuote(image) + " " +
           ShellQuote(file) + " ::";
  }
  EXPECT_EQ(RunCommand(cmd, nullptr, nullptr), 0) << cmd;
  return image;
}

// Runs `quarrow-cli ARGS --to D` with D a tmpfs of the given size, and answers the exit
// status, stderr, and each regular file written below D with its size.
int RecoverIntoTmpfs(const std::string& args, const std::string& size, std::string* err,
                     std::map<std::string, uint64_t>* written) {
  std::string script = "d=$(mktemp -d) && mount -t tmpfs -o size=" + size + " tmpfs \"$d\" && " +
                       std::string(QUARROW_CLI_PATH) + " " + args + " --to \"$d\"; s=$?; cd \"$d\" && " +
                       "find . -type f -printf '%P %s\\n' >&3; exit $s";
  std::string out;
  int status = RunCommand("unshare -rm sh -c " + ShellQuote(script) + " 3>&1", &out, err);
  std::istringstream lines(out);
  for (std::string name; lines >> name;) lines >> (*written)[name];
  return status;
}

}  // namespace

TEST(DestinationLimits, AFullDestinationStopsTheRunBeforeAFileThatDoesNotFit) {
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-dest-full-" + std::to_string(::getpid()));
  fs::create_directories(work);
  RemovedAtExit(work.string());
  const std::string image = VolumeWithMegabyteFiles(work, 6);
  std::string err;
  std::map<std::string, uint64_t> written;
  // 3 MiB keeps 30 KiB free (1%): two files of 1 MiB fit, the third would leave too little.
  int status = RecoverIntoTmpfs("recover " + ShellQuote(image) + " / --all", "3m", &err, &written);
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("the destination has"), std::string::npos) << err;
  EXPECT_NE(err.find("keeps 31 KiB free"), std::string::npos) << err;  // 1% of 3 MiB
  EXPECT_NE(err.find("written whole before the recovery ended"), std::string::npos) << err;
  // Everything that is there is whole: nothing half-written goes unreported.
  EXPECT_EQ(written.size(), 2u) << err;
  for (const auto& [name, size] : written) EXPECT_EQ(size, 1048576u) << name;
}

TEST(DestinationLimits, CrossLinkedEntriesStopAtFourTimesTheVolumeUnlessToldToWriteOn) {
  const fs::path work = fs::path(::testing::TempDir()) / ("quarrow-dest-flood-" + std::to_string(::getpid()));
  fs::create_directories(work);
  RemovedAtExit(work.string());
  const std::string image = VolumeWithMegabyteFiles(work, 1);
  // The root folder's entry of MB0.BIN copied into 100 more entries under other names: each
  // names the same clusters, as on a volume whose folder was overwritten with garbage.
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    uint8_t boot[512];
    f.read(reinterpret_cast<char*>(boot), sizeof boot);
    const uint64_t root = (bytes::RawLE16(boot + 14) + uint64_t(boot[16]) * bytes::RawLE16(boot + 22)) * 512;
    std::vector<uint8_t> dir(512 * 32);
    f.seekg(std::streamoff(root));
    f.read(reinterpret_cast<char*>(dir.data()), std::streamsize(dir.size()));
    size_t at = 0;
    while (at < dir.size() && std::string(reinterpret_cast<char*>(&dir[at]), 11) != "MB0     BIN") at += 32;
    ASSERT_LT(at, dir.size());
    for (int i = 0; i < 100; ++i) {
      uint8_t* e = &dir[at + 32 * size_t(i + 1)];
      std::copy(&dir[at], &dir[at + 32], e);
      std::string name = "X" + std::to_string(1000 + i) + "   BIN";
      std::copy(name.begin(), name.end(), e);
    }
    f.seekp(std::streamoff(root));
    f.write(reinterpret_cast<char*>(dir.data()), std::streamsize(dir.size()));
  }
  std::string err;
  std::map<std::string, uint64_t> written;
  // 16 MiB of volume: at most 64 MiB are written, then the run stops and says why.
  int status = RecoverIntoTmpfs("recover " + ShellQuote(image) + " / --all", "200m", &err, &written);
  EXPECT_EQ(status, 1) << err;
  EXPECT_NE(err.find("four times the size of the volume"), std::string::npos) << err;
  EXPECT_NE(err.find("--no-output-limit"), std::string::npos) << err;
  EXPECT_GE(written.size(), 60u);
  EXPECT_LE(written.size(), 64u);
  for (const auto& [name, size] : written) EXPECT_EQ(size, 1048576u) << name;

  written.clear();
  status = RecoverIntoTmpfs("recover " + ShellQuote(image) + " / --all --no-output-limit", "200m", &err, &written);
  EXPECT_EQ(status, 0) << err;
  EXPECT_EQ(written.size(), 101u);
  // Every copy after the first is named as sharing the clusters written before it.
  EXPECT_NE(err.find("100 file(s) share clusters with a file written before them"), std::string::npos) << err;
}
