#include "app/Document.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "device/PhysicalDriver.h"
#include "platform/Text.h"
#include "support/Fixtures.h"

namespace {
// Every test starts from an empty disk table holding only its own images.
class DocumentTest : public ::testing::Test {
 protected:
};

nlohmann::json Manifest() {
  std::ifstream in(FixturePath("manifest.json"));
  return nlohmann::json::parse(in);
}
}  // namespace

TEST_F(DocumentTest, ImagesBecomeDisksAndTheirVolumesVolumes) {
  CKelvoDoc doc(false);
  std::string error;
  for (const char* name : {"fat12.img", "disk.img", "gpt.img", "ntfs.img"})
    ASSERT_TRUE(doc.AddDiskImage(FixturePath(name), &error)) << error;
  doc.EnumerateVolumes();
  doc.EnumerateVirtualVolumes();
  doc.EnumerateDisks();

  // Volumes in image order, then partition order, each with the geometry the tools made.
  struct Expect {
    const char* image;
    int partition;
    const char16_t* fs;
    const char* label;
  } expected[] = {{"fat12.img", 0, u"FAT12", "QFAT12"},   {"disk.img", 1, u"FAT12", "DISKFAT12"},
                  {"disk.img", 2, u"FAT16", "DISKFAT16"}, {"disk.img", 3, u"FAT32", "DISKFAT32"},
                  {"disk.img", 4, u"NTFS", "DISKNTFS"},   {"gpt.img", 1, u"FAT16", "GPTFAT16"},
                  {"gpt.img", 2, u"NTFS", "GPTNTFS"},     {"ntfs.img", 0, u"NTFS", "QNTFS"}};
  ASSERT_EQ(doc.Volumes().size(), std::size(expected));
  auto manifest = Manifest();
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& v = *doc.Volumes()[i];
    const auto& e = expected[i];
    EXPECT_EQ(v.GetFileSystemText(), e.fs) << i;
    std::string root = FixturePath(e.image) + (e.partition ? "#" + std::to_string(e.partition) : "");
    EXPECT_EQ(v.m_strRootText, text::FromUtf8(root));
    EXPECT_EQ(v.m_szName, text::FromUtf8(root + " (" + e.label + ")"));
    for (const auto& img : manifest["images"]) {
      if (img["name"] != e.image) continue;
      for (const auto& vol : img["volumes"]) {
        if (vol.value("partition", 0) != e.partition) continue;
        EXPECT_EQ(v.m_source.nOffset, vol["offset"].get<uint64_t>()) << i;
        EXPECT_EQ(v.m_nBytesPerCluster, vol["bytes_per_cluster"].get<uint32_t>()) << i;
        if (vol.contains("cluster_count")) EXPECT_EQ(v.m_nClusterCount, vol["cluster_count"].get<uint64_t>()) << i;
      }
    }
  }
  ASSERT_EQ(doc.Disks().size(), 4u);
  EXPECT_EQ(doc.Disks()[1]->m_szName, u"disk.img");
  EXPECT_EQ(doc.Disks()[1]->m_nClusterCount, 80u * 1024 * 1024 / 512);
  EXPECT_EQ(doc.Disks()[1]->GetSizeText(), u"80 MB");
  EXPECT_EQ(doc.Disks()[1]->m_nDevice, 1);

  // Each list is filled once: a second call changes nothing.
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  EXPECT_EQ(doc.Volumes().size(), std::size(expected));
  EXPECT_EQ(doc.Disks().size(), 4u);
}

TEST_F(DocumentTest, KnownVolumeTestComparesTheWholeBootSector) {
  CKelvoDoc doc(false);
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("disk.img"), nullptr));
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  ASSERT_EQ(doc.Volumes().size(), 4u);
  // The FAT32 partition's boot sector, read from the disk at its start sector.
  uint8_t boot[512];
  ASSERT_TRUE(doc.Disks()[0]->ReadRaw(43008, boot, 512, 1));
  EXPECT_TRUE(doc.IsKnownVolume(boot));
  boot[300] ^= 1;
  EXPECT_FALSE(doc.IsKnownVolume(boot));
  boot[300] ^= 1;
  // A volume appended later (as a lost volume is) is known too.
  CKelvoDoc other(false);
  EXPECT_FALSE(other.IsKnownVolume(boot));
}

TEST_F(DocumentTest, BadImagesAreRefusedOrListedAsDisksOnly) {
  CKelvoDoc doc(false);
  std::string error;
  EXPECT_FALSE(doc.AddDiskImage("/nonexistent/x.img", &error));
  EXPECT_NE(error.find("/nonexistent/x.img"), std::string::npos);
  // Neither a volume nor a partitioned disk: a disk, without volumes.
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("notfs.img"), &error));
  // A truncated FAT image still opens: its boot sector is there; later reads fail cleanly.
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("truncated.img"), &error));
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  EXPECT_EQ(doc.Disks().size(), 2u);
  ASSERT_EQ(doc.Volumes().size(), 1u);
  auto& v = *doc.Volumes()[0];
  std::vector<uint8_t> cluster(v.m_nBytesPerCluster);
  EXPECT_FALSE(v.ReadCluster(v.m_nLastUnit, 0, cluster.data()));
  // An image added after the lists were filled joins them.
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("fat16.img"), &error));
  EXPECT_EQ(doc.Volumes().size(), 2u);
  EXPECT_EQ(doc.Disks().size(), 3u);
}

TEST_F(DocumentTest, OneImageUnderTwoSpellingsIsOneDisk) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-spellings-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path image = FixturePath("fat12.img");
  fs::create_symlink(image, dir / "link.img");
  CKelvoDoc doc(false);
  std::string error, added;
  for (const std::string& spelling :
       {image.string(), (image.parent_path() / "." / image.filename()).string(), (dir / "link.img").string()}) {
    ASSERT_TRUE(doc.AddDiskImage(spelling, &error, nullptr, &added)) << spelling << ": " << error;
    EXPECT_EQ(added, fs::canonical(image).string()) << spelling;
  }
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  EXPECT_EQ(doc.Disks().size(), 1u);
  EXPECT_EQ(doc.Volumes().size(), 1u);
  fs::remove_all(dir);
}
