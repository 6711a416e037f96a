// exFAT through the disk-level commands: `devices` lists an exFAT partition with its label
// and size, `findlost` finds the exFAT volume no table lists, and the deep scan's
// lost-folder search rebuilds an exFAT folder whose entry is gone and names carved files
// after the files they belong to.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "exfat/ExFatImage.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;
using namespace exfattest;

namespace {
std::vector<nlohmann::json> CliJson(const std::string& args) {
  std::string out, err;
  EXPECT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " " + args, &out, &err), 0) << args << "\n" << err;
  std::vector<nlohmann::json> v;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) v.push_back(nlohmann::json::parse(line));
  return v;
}

std::string ItemSha(const nlohmann::json& items, const std::string& path) {
  for (const auto& item : items)
    if (item["path"] == path) return item["sha256"];
  return "not in the manifest";
}

fs::path TempDir(const std::string& what) {
  fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-exfat-" + what + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}
}  // namespace

TEST(ExFatDisk, DevicesListsThePartitionWithItsLabelAndSize) {
  const std::string disk = ExFatFixturePath("exfat-disk.img");
  const auto lines = CliJson("devices --no-system --json --image " + ShellQuote(disk));
  ASSERT_EQ(lines.size(), 2u);  // the partition, then the disk; the lost volume is not listed
  EXPECT_EQ(lines[0]["kind"], "volume");
  EXPECT_EQ(lines[0]["fs"], "exFAT");
  EXPECT_EQ(lines[0]["name"], disk + "#1 (PARTEXFAT)");
  EXPECT_EQ(lines[0]["offset_bytes"], 2048u * 512);
  // The size of the cluster heap, as for FAT: the partition's 16 MiB less the boot regions,
  // the FAT and the alignment mkfs.exfat leaves before the heap.
  EXPECT_GT(lines[0]["size_bytes"].get<uint64_t>(), 12u << 20);
  EXPECT_LE(lines[0]["size_bytes"].get<uint64_t>(), 16u << 20);
  EXPECT_EQ(lines[1]["kind"], "disk");
}

TEST(ExFatDisk, FindLostFindsTheUnlistedVolumesAndTheirFilesComeBack) {
  const std::string disk = ExFatFixturePath("exfat-disk.img");
  const std::string before = Sha256OfFile(disk);
  const auto& image = ExFatManifestImage("exfat-disk.img");
  const auto found = CliJson("findlost " + ShellQuote(disk) + " --json");
  // The partition the table lists is known and skipped; the two volumes outside it are found,
  // the second one of 4096-byte sectors (its length counted in those).
  ASSERT_EQ(found.size(), 2u);
  const fs::path out = TempDir("lost");
  struct Lost {
    const char* key;
    const char* file;
  } lost[] = {{"lost", "lost.txt"}, {"lost4k", "four k.txt"}};
  for (size_t k = 0; k < 2; ++k) {
    const auto& volume = image[lost[k].key];
    const uint64_t sector = volume["sector"];
    const std::string name = "LostDriver_" + std::to_string(sector + 1);
    EXPECT_EQ(found[k]["name"], name);
    EXPECT_EQ(found[k]["fs"], "exFAT");
    EXPECT_EQ(found[k]["sector"], sector);
    const auto listed = CliJson("list " + ShellQuote(disk) + " --lost " + name + " --all --json");
    std::set<std::string> paths;
    for (const auto& j : listed) paths.insert(j["path"].get<std::string>());
    for (const auto& item : volume["items"]) EXPECT_TRUE(paths.count(item["path"])) << name << " " << item["path"];
    for (const auto& item : volume["items"]) {
      const std::string path = item["path"];
      CliJson("recover " + ShellQuote(disk) + " --lost " + name + " " + ShellQuote(path) + " --all --to " +
              ShellQuote(out.string()));
      EXPECT_EQ(Sha256OfFile((out / path).string()), item["sha256"]) << name << " " << path;
    }
  }
  // The partition's deleted file, through --partition.
  CliJson("recover " + ShellQuote(disk) + " --partition 1 'Removed from part.bin' --to " + ShellQuote(out.string()));
  EXPECT_EQ(Sha256OfFile((out / "Removed from part.bin").string()),
            ItemSha(image["partition"]["items"], "Removed from part.bin"));
  EXPECT_EQ(Sha256OfFile(disk), before);
  fs::remove_all(out);
}

TEST(ExFatScan, ScanDirRebuildsAFolderWhoseEntryIsGone) {
  // OldStuff was deleted with everything in it; here its entry set is gone too (its File
  // entry's type byte no longer says File), so nothing of the tree leads to its cluster.
  CExFatImage image;
  const size_t at = image.FindSet(u"OldStuff");
  image.Bytes()[at] = 0x01;
  const fs::path work = TempDir("scandir");
  const std::string copy = (work / "gone-entry.img").string();
  {
    std::ofstream f(copy, std::ios::binary);
    f.write(reinterpret_cast<const char*>(image.Bytes().data()), std::streamsize(image.Bytes().size()));
  }
  const fs::path out = work / "out";
  fs::create_directories(out);
  CliJson("deepscan " + ShellQuote(copy) + " --scan-dir --types zip --json --to " + ShellQuote(out.string()));
  // One lost folder, rebuilt whole with its subfolder; nothing carved from the live tree.
  std::vector<fs::path> dirs;
  for (const auto& e : fs::directory_iterator(out))
    if (e.is_directory()) dirs.push_back(e.path());
  ASSERT_EQ(dirs.size(), 1u);
  EXPECT_EQ(dirs[0].filename().string().rfind("dir_", 0), 0u);
  const auto& items = ExFatManifestImage("exfat.img")["items"];
  for (const char* path : {"OLD1.TXT", "old two.bin", "Deeper/GONE.BIN"})
    EXPECT_EQ(Sha256OfFile((dirs[0] / path).string()), ItemSha(items, std::string("OldStuff/") + path)) << path;
  fs::remove_all(work);
}

TEST(ExFatScan, CarvedFilesCarryTheNameOfTheFileThatBeganThere) {
  const auto finds = CliJson("deepscan " + ShellQuote(ExFatFixturePath("exfat.img")) + " --types jpg --json");
  bool holiday = false;
  for (const auto& f : finds) {
    if (f.value("fs_path", "") != "Holiday photo.jpg") continue;
    holiday = true;
    EXPECT_EQ(f["size"], 70000);
    EXPECT_EQ(f["fs_deleted"], true);
  }
  EXPECT_TRUE(holiday);
}
