// deepscan over FAT and NTFS volumes: every find says where it starts, in units of the
// volume and in bytes of the source the user named, and those bytes are the file.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

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
  // A re-formatted FAT32 volume scanned with --scan-dir: a photo that lay in a folder the same
  // scan rebuilds is named under that folder's dir_N name, at any depth below it.
  std::map<std::string, std::string> photos;  // file name -> sha256
  for (const auto& im : Manifest()["images"])
    if (im["name"] == "reformatted.img")
      for (const auto& f : im["volumes"][0]["files"]) {
        const std::string path = f["path"];
        if (path.size() > 4 && path.substr(path.size() - 4) == ".jpg")
          photos[path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1)] = f["sha256"];
      }
  ASSERT_EQ(photos.size(), 3u);
  const std::string reformatted = FixturePath("reformatted.img");
  std::map<std::string, std::string> named;  // fs_name -> fs_path
  for (const auto& find : Finds(ShellQuote(reformatted) + " --scan-dir")) {
    if (find.contains("dir") || !find.contains("fs_name")) continue;
    const std::string name = find["fs_name"], path = find["fs_path"];
    named[name] = path;
    ASSERT_TRUE(photos.count(name)) << path;
    EXPECT_EQ(Sha256Hex(BytesAt(reformatted, find["offset_bytes"], find["size"])), photos[name]) << path;
    EXPECT_EQ(path.rfind("dir_", 0), 0u) << path;
    EXPECT_EQ(find.value("fs_deleted", false), true) << path;
  }
  EXPECT_EQ(named.size(), photos.size());
  EXPECT_NE(named["Sunset.jpg"].find("/Nested Dir/Sunset.jpg"), std::string::npos) << named["Sunset.jpg"];
  EXPECT_NE(named["Ph 1.jpg"].find(" (Root)/Ph 1.jpg"), std::string::npos) << named["Ph 1.jpg"];

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
    EXPECT_EQ(path.rfind("disk.img#", 0), 0u) << path;
    EXPECT_EQ(find.value("fs_name", ""), "Holiday photo.jpg") << path;
    EXPECT_EQ(path.substr(path.find('/') + 1), "Holiday photo.jpg") << path;
  }
  EXPECT_TRUE(seen) << "the photo was not carved from the whole disk";
}
