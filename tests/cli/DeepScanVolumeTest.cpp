// deepscan over FAT and NTFS volumes: every find says where it starts, in units of the
// volume and in bytes of the source the user named, and those bytes are the file.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "support/CarvingImage.h"
#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"

namespace {
std::string BytesAt(const std::string& path, uint64_t offset, uint64_t size) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  std::string bytes(size, '\0');
  in.read(bytes.data(), std::streamsize(size));
  return in ? bytes : std::string();
}

std::vector<nlohmann::json> Finds(const std::string& args) {
  std::string out, err;
  EXPECT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " deepscan " + args + " --types jpg --json", &out, &err), 0)
      << err;
  std::vector<nlohmann::json> finds;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) finds.push_back(nlohmann::json::parse(line));
  return finds;
}

const nlohmann::json& Manifest() {
  static nlohmann::json manifest = [] {
    std::ifstream in(FixturePath("manifest.json"));
    return nlohmann::json::parse(in);
  }();
  return manifest;
}

const nlohmann::json& FatFile(const std::string& image, size_t volume, const std::string& path) {
  for (const auto& im : Manifest()["images"])
    if (im["name"] == image)
      for (const auto& f : im["volumes"][volume]["files"])
        if (f["path"] == path) return f;
  throw std::runtime_error("no " + path + " in " + image);
}
}  // namespace

TEST(DeepScanVolume, FindsOnFatVolumesSayWhereTheyStart) {
  // A volume image, and a partition of a disk image: the offset counts from the disk's start.
  struct Case {
    const char* image;
    size_t volume;
    const char* partition;
  } cases[] = {{"fat16.img", 0, ""}, {"fat32.img", 0, ""}, {"disk.img", 1, " --partition 2"}};
  for (const auto& c : cases) {
    const auto& photo = FatFile(c.image, c.volume, "Holiday photo.jpg");
    const uint64_t size = photo["size"], firstCluster = photo["clusters"][0][0];
    const std::string image = FixturePath(c.image);
    bool seen = false;
    for (const auto& find : Finds(ShellQuote(image) + c.partition)) {
      if (find["size"] != size) continue;
      seen = true;
      EXPECT_EQ(find["unit"], firstCluster) << c.image;
      EXPECT_EQ(Sha256Hex(BytesAt(image, find["offset_bytes"], size)), photo["sha256"]) << c.image;
      // It begins where the deleted photo's entry says that file began: it carries its name.
      EXPECT_EQ(find.value("fs_path", ""), "Holiday photo.jpg") << c.image;
      EXPECT_EQ(find.value("fs_name", ""), "Holiday photo.jpg") << c.image;
      EXPECT_EQ(find.value("fs_deleted", false), true) << c.image;
    }
    EXPECT_TRUE(seen) << c.image << ": the photo was not carved";
  }
}

TEST(DeepScanVolume, FindsOnNtfsVolumesSayWhereTheyStart) {
  const auto& manifest = NtfsManifestImage("ntfs-4k.img");
  const uint64_t bytesPerCluster = manifest["bytes_per_cluster"];
  const std::string image = NtfsFixturePath("ntfs-4k.img");
  std::string sha;
  uint64_t size = 0;
  for (const auto& item : manifest["items"])
    if (item["path"] == "Holiday photo.jpg") sha = item["sha256"], size = item["size"];
  ASSERT_FALSE(sha.empty());
  bool seen = false;
  for (const auto& find : Finds(ShellQuote(image))) {
    if (find["size"] != size) continue;
    seen = true;
    const uint64_t unit = find["unit"], offset = find["offset_bytes"];
    EXPECT_NE(unit, 0u);
    EXPECT_EQ(offset, unit * bytesPerCluster);
    EXPECT_EQ(Sha256Hex(BytesAt(image, offset, size)), sha);
    EXPECT_EQ(find.value("fs_path", ""), "Holiday photo.jpg");
    EXPECT_EQ(find.value("fs_deleted", false), true);
  }
  EXPECT_TRUE(seen) << "the photo was not carved";
}

TEST(DeepScanVolume, NamesFromTheFileSystemWhenWritten) {
  // --names fs writes a find under its file-system name and folders; the others keep FILE_N.
  struct Case {
    std::string image, sha;
  } cases[] = {{FixturePath("fat32.img"), FatFile("fat32.img", 0, "Holiday photo.jpg")["sha256"]},
               {NtfsFixturePath("ntfs-4k.img"), ""}};
  for (const auto& item : NtfsManifestImage("ntfs-4k.img")["items"])
    if (item["path"] == "Holiday photo.jpg") cases[1].sha = item["sha256"];
  for (const auto& c : cases) {
    const std::string dir = ::testing::TempDir() + "/quarrow-fsnames-" + std::to_string(::getpid());
    std::filesystem::remove_all(dir);
    std::string out, err;
    ASSERT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " deepscan " + ShellQuote(c.image) + " --types all --to " +
                             ShellQuote(dir) + " --names fs",
                         &out, &err),
              0)
        << err;
    EXPECT_EQ(Sha256OfFile(dir + "/Holiday photo.jpg"), c.sha) << c.image;
    EXPECT_FALSE(std::filesystem::exists(dir + "/FILE_1.JPG")) << c.image << ": written under its number too";
    std::filesystem::remove_all(dir);
  }
}

TEST(DeepScanVolume, FilesOfRebuiltFoldersAndOfWholeDisksCarryTheirNames) {
  // A photo copied to a volume's root and then moved into a folder made after it (its data
  // lies before the folder's cluster), then the volume quick-formatted: the scan carves the
  // photo before it reaches the lost folder, and names it once it does.
  const std::string dir = ::testing::TempDir() + "/quarrow-lostnames-" + std::to_string(::getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string image = dir + "/moved.img", spec = ShellQuote(image);
  const std::string picture = CarvingCorpusDir() + "/baseline.jpg";
  const std::string cmd = "mkfs.fat -C -F 16 -S 512 -s 1 -i 1234ABCD " + spec + " 8192 >/dev/null && mcopy -i " + spec +
                          " " + ShellQuote(picture) + " ::/Beach.jpg && mmd -i " + spec + " ::/Album ::/Album/Old && " +
                          "mmove -i " + spec + " ::/Beach.jpg ::/Album/Old/Beach.jpg && mkfs.fat -F 16 -S 512 -s 1 " +
                          "-i 1234ABCE " + spec + " >/dev/null";
  ASSERT_EQ(RunCommand(cmd, nullptr, nullptr), 0) << cmd;
  int photos = 0;
  for (const auto& find : Finds(ShellQuote(image) + " --scan-dir")) {
    if (find.contains("dir")) continue;
    ++photos;
    EXPECT_EQ(Sha256Hex(BytesAt(image, find["offset_bytes"], find["size"])), Sha256OfFile(picture));
    const std::string path = find.value("fs_path", "");
    EXPECT_EQ(path.rfind("dir_", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.find('/')), "/Old/Beach.jpg") << path;
    EXPECT_EQ(find.value("fs_name", ""), "Beach.jpg");
    EXPECT_EQ(find.value("fs_deleted", false), true) << path;
  }
  EXPECT_EQ(photos, 1);
  std::filesystem::remove_all(dir);

  // A disk image scanned whole: the photo of its second FAT volume is named under that
  // partition.
  const auto& photo = FatFile("disk.img", 1, "Holiday photo.jpg");
  const std::string disk = FixturePath("disk.img");
  bool seen = false;
  for (const auto& find : Finds(ShellQuote(disk) + " --disk")) {
    if (find["size"] != photo["size"]) continue;
    seen = true;
    EXPECT_EQ(Sha256Hex(BytesAt(disk, find["offset_bytes"], photo["size"])), photo["sha256"]);
    const std::string path = find.value("fs_path", "");
    EXPECT_EQ(path.rfind("Partition_", 0), 0u) << path;
    EXPECT_EQ(find.value("fs_name", ""), "Holiday photo.jpg") << path;
    EXPECT_EQ(path.substr(path.find('/') + 1), "Holiday photo.jpg") << path;
  }
  EXPECT_TRUE(seen) << "the photo was not carved from the whole disk";

  // The same disk with its partition table wiped: the scan meets each volume at its boot
  // sector and names the photo under the volume's LostDriver_N name.
  const std::string wiped = ::testing::TempDir() + "/quarrow-wiped-" + std::to_string(::getpid()) + ".img";
  std::filesystem::copy_file(disk, wiped, std::filesystem::copy_options::overwrite_existing);
  {
    std::fstream f(wiped, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(446);
    const std::string zeros(64, '\0');
    f.write(zeros.data(), long(zeros.size()));
  }
  seen = false;
  for (const auto& find : Finds(ShellQuote(wiped) + " --disk")) {
    if (find["size"] != photo["size"]) continue;
    seen = true;
    const std::string path = find.value("fs_path", "");
    EXPECT_EQ(path.rfind("LostDriver_", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.find('/') + 1), "Holiday photo.jpg") << path;
  }
  EXPECT_TRUE(seen) << "the photo was not carved from the wiped disk";
  std::filesystem::remove(wiped);
}
