#include "app/Document.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "deepscan/VirtualDriver.h"
#include "device/PhysicalDriver.h"
#include "platform/Text.h"
#include "support/FakeMachine.h"
#include "support/Fixtures.h"
#include "tree/DirEntry.h"

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

namespace {
namespace fs = std::filesystem;

// A scratch folder of the test's own, removed at its end.
struct ScratchDir {
  fs::path path;
  explicit ScratchDir(const std::string& name)
      : path(fs::path(::testing::TempDir()) / ("quarrow-" + name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~ScratchDir() { fs::remove_all(path); }
  std::string Copy(const std::string& fixture, const std::string& as) const {
    fs::copy_file(FixturePath(fixture), path / as, fs::copy_options::overwrite_existing);
    return (path / as).string();
  }
};

template <class List>
bool Lists(const List& list, const CDriver* device) {
  return std::any_of(list.begin(), list.end(), [&](const auto& p) { return p.get() == device; });
}

template <class T>
bool Has(const std::vector<T*>& list, const CDriver* device) {
  return std::find(list.begin(), list.end(), device) != list.end();
}

const CLogicalDriver* VolumeOn(const CKelvoDoc& doc, const std::string& path) {
  for (const auto& v : doc.Volumes())
    if (v->m_source.strPath == path) return v.get();
  return nullptr;
}
}  // namespace

// Disks plugged in after the first listing appear with their volumes; the numbers given
// before (the machine's disks, then the images) stay, the new disk takes the next one.
// Pulled out unused, a disk goes from the lists with its virtual volume and its volumes, and
// the objects stay readable (nothing is destroyed before the document).
TEST_F(DocumentTest, RefreshAddsNewDevicesAndTakesOutUnusedGoneOnes) {
  ScratchDir dir("refresh-plug");
  const std::string card = dir.Copy("fat12.img", "card.img");
  const std::string stick = dir.Copy("fat16.img", "stick.img");
  CFakeMachine machine;
  machine.Plug(card, 7);
  CKelvoDoc doc(machine.Source());
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("ntfs.img"), nullptr));
  doc.EnumerateVolumes();
  doc.EnumerateVirtualVolumes();
  doc.EnumerateDisks();
  ASSERT_EQ(doc.Disks().size(), 2u);
  ASSERT_EQ(doc.Volumes().size(), 2u);
  EXPECT_EQ(doc.Disks()[0]->m_source.strPath, card);
  EXPECT_EQ(doc.Disks()[1]->m_nDevice, 1);

  // Nothing changed: nothing added, nothing gone.
  RefreshOutcome same = doc.Refresh();
  EXPECT_TRUE(same.addedDisks.empty() && same.addedVolumes.empty() && same.addedVirtualVolumes.empty());
  EXPECT_TRUE(same.disconnected.empty() && same.removed.empty());

  machine.Plug(stick, 8);
  RefreshOutcome plugged = doc.Refresh();
  ASSERT_EQ(plugged.addedDisks.size(), 1u);
  ASSERT_EQ(plugged.addedVirtualVolumes.size(), 1u);
  ASSERT_EQ(plugged.addedVolumes.size(), 1u);
  EXPECT_EQ(plugged.addedDisks[0]->m_source.strPath, stick);
  EXPECT_EQ(plugged.addedDisks[0]->m_nDevice, 2);
  EXPECT_EQ(plugged.addedVirtualVolumes[0]->m_nDevice, 2);
  EXPECT_EQ(plugged.addedVolumes[0]->GetFileSystemText(), u"FAT16");
  EXPECT_EQ(plugged.addedVolumes[0]->m_nDriveType, DRIVE_REMOVABLE);
  EXPECT_EQ(doc.Disks().size(), 3u);
  EXPECT_EQ(doc.Disks()[0]->m_nDevice, 0);
  EXPECT_EQ(doc.Disks()[1]->m_nDevice, 1);

  const CLogicalDriver* cardVolume = VolumeOn(doc, card);
  ASSERT_NE(cardVolume, nullptr);
  machine.Pull(card);
  RefreshOutcome pulled = doc.Refresh();
  EXPECT_TRUE(pulled.disconnected.empty());
  ASSERT_EQ(pulled.removed.size(), 3u);  // the disk, its virtual volume, its volume
  EXPECT_TRUE(Has(pulled.removed, cardVolume));
  for (const CDriver* device : pulled.removed)
    EXPECT_FALSE(Lists(doc.Volumes(), device) || Lists(doc.VirtualVolumes(), device) || Lists(doc.Disks(), device));
  // Taken out, not destroyed: the volume still reads (its image is still there).
  uint8_t sector[512];
  ASSERT_TRUE(const_cast<CLogicalDriver*>(cardVolume)->ReadSectors(0, sector, 512, 1));
  EXPECT_EQ(std::memcmp(sector, cardVolume->m_bootSector, 512), 0);
  EXPECT_EQ(doc.Disks().size(), 2u);
  EXPECT_EQ(doc.Volumes().size(), 2u);
  // Plugged in again (a new diskseq), the card is a new disk with a new number.
  machine.Plug(card, 9);
  RefreshOutcome again = doc.Refresh();
  ASSERT_EQ(again.addedDisks.size(), 1u);
  EXPECT_EQ(again.addedDisks[0]->m_nDevice, 3);
  EXPECT_EQ(again.addedVolumes.size(), 1u);
}

// A gone device that something uses stays listed, marked disconnected: a volume with deep-scan
// results, a volume the caller's views show, a disk with lost volumes found on it (which are
// marked with it). Back with the same identity, the mark goes; a medium swapped at the same
// path (a new diskseq) or reformatted there (another first sector) is a new device instead.
TEST_F(DocumentTest, RefreshKeepsGoneDevicesInUseAndTellsANewMediumFromTheOld) {
  ScratchDir dir("refresh-use");
  const std::string card = dir.Copy("fat12.img", "card.img");
  const std::string disk = dir.Copy("disk.img", "disk.img");
  const std::string shown = dir.Copy("fat16.img", "shown.img");
  CFakeMachine machine;
  machine.Plug(card, 1);
  machine.Plug(disk, 2);
  machine.Plug(shown, 3);
  CKelvoDoc doc(machine.Source());
  doc.EnumerateVolumes();
  doc.EnumerateVirtualVolumes();
  doc.EnumerateDisks();
  ASSERT_EQ(doc.Disks().size(), 3u);
  ASSERT_EQ(doc.Volumes().size(), 6u);  // the card, the four partitions of disk.img, shown.img
  CLogicalDriver* cardVolume = const_cast<CLogicalDriver*>(VolumeOn(doc, card));
  CLogicalDriver* shownVolume = const_cast<CLogicalDriver*>(VolumeOn(doc, shown));
  CPhysicalDriver* diskDrive = doc.Disks()[1].get();
  CLogicalDriver* diskVirtual = doc.VirtualVolumes()[1].get();
  ASSERT_TRUE(cardVolume && shownVolume);
  // Deep-scan results on the card's volume; a lost volume found on disk.img.
  cardVolume->m_pLostFolder->AddChild(std::make_unique<CVirtualFile>())->m_strName = u"FILE_1.JPG";
  auto lost = CKelvoDoc::NewVolume(VolumeKind::Fat);
  uint8_t boot[512];
  ASSERT_TRUE(diskDrive->ReadRaw(10240, boot, 512, 1));
  ASSERT_TRUE(lost->Attach(diskDrive->m_hDevice, boot, 10240));
  ASSERT_TRUE(lost->Open(diskDrive->m_nDevice, diskDrive->m_nDriveType, u"LostDriver_10241", true));
  CLogicalDriver* lostVolume = lost.get();
  doc.AppendVolume(std::move(lost));
  EXPECT_TRUE(doc.HasLostVolumesOn(*diskDrive));

  machine.Pull(card);
  machine.Pull(disk);
  machine.Pull(shown);
  RefreshOutcome out = doc.Refresh([&](const CLogicalDriver& v) { return &v == shownVolume; });
  // Kept and marked: the card's volume (results), the shown volume (the views), disk.img's
  // disk and virtual volume (the lost volume). Taken out: the other volumes and the two
  // disks without lost volumes, with their virtual volumes.
  for (const CDriver* device : {static_cast<const CDriver*>(cardVolume), static_cast<const CDriver*>(shownVolume),
                                static_cast<const CDriver*>(diskDrive), static_cast<const CDriver*>(diskVirtual)}) {
    EXPECT_TRUE(Has(out.disconnected, device)) << text::ToUtf8(device->m_szName);
    EXPECT_TRUE(device->m_bDisconnected);
  }
  EXPECT_EQ(out.disconnected.size(), 4u);
  EXPECT_EQ(out.removed.size(), 8u);  // 4 partitions of disk.img, 2 disks, 2 virtual volumes
  EXPECT_TRUE(Lists(doc.Volumes(), lostVolume));
  EXPECT_TRUE(lostVolume->m_bDisconnected);
  EXPECT_EQ(doc.Volumes().size(), 3u);
  EXPECT_EQ(cardVolume->m_pLostFolder->m_children.size(), 1u);

  // The card comes back as it was: the same volume, unmarked, nothing added.
  machine.Plug(card, 1);
  RefreshOutcome back = doc.Refresh([&](const CLogicalDriver& v) { return &v == shownVolume; });
  EXPECT_FALSE(cardVolume->m_bDisconnected);
  EXPECT_TRUE(back.addedVolumes.empty());
  // Its disk had been taken out: opened again under the number it had.
  ASSERT_EQ(back.addedDisks.size(), 1u);
  EXPECT_EQ(back.addedDisks[0]->m_nDevice, 0);
  EXPECT_EQ(back.disconnected.size(), 3u);

  // The same card reformatted in place (another serial number in its boot sector): the old
  // volume is gone (kept, it has results), the new one is added.
  {
    std::fstream f(card, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(39);
    f.put('\x42');
  }
  RefreshOutcome reformatted = doc.Refresh();
  ASSERT_EQ(reformatted.addedVolumes.size(), 1u);
  EXPECT_NE(reformatted.addedVolumes[0], cardVolume);
  EXPECT_TRUE(cardVolume->m_bDisconnected);
  // The shown volume is no longer in use: it goes now.
  EXPECT_TRUE(Has(reformatted.removed, shownVolume));

  // A new medium at the same path (a new diskseq) is a new disk; the old one stays marked.
  machine.Pull(card);
  machine.Plug(card, 4);
  const size_t disks = doc.Disks().size();
  RefreshOutcome swapped = doc.Refresh();
  EXPECT_EQ(swapped.addedDisks.size(), 1u);
  EXPECT_EQ(doc.Disks().size(), disks);  // one in, the unused one of diskseq 1 out
  EXPECT_EQ(swapped.addedVolumes.size(), 1u);
}

// Opened images stay as they are, with their volumes and results; an image that gained a
// volume since it was opened (it was written meanwhile) shows it.
TEST_F(DocumentTest, RefreshLeavesOpenedImagesAndAddsVolumesTheyGained) {
  ScratchDir dir("refresh-images");
  const std::string blank = (dir.path / "blank.img").string();
  {
    std::ofstream f(blank, std::ios::binary);
    f.seekp(1474560 - 1);
    f.put('\0');
  }
  CKelvoDoc doc(false);
  std::string error, note;
  ASSERT_TRUE(doc.AddDiskImage(FixturePath("fat12.img"), &error)) << error;
  ASSERT_TRUE(doc.AddDiskImage(blank, &error, &note)) << error;
  doc.EnumerateVolumes();
  doc.EnumerateVirtualVolumes();
  doc.EnumerateDisks();
  ASSERT_EQ(doc.Volumes().size(), 1u);
  const CLogicalDriver* image = doc.Volumes()[0].get();
  CLogicalDriver* imageDisk = doc.VirtualVolumes()[0].get();
  imageDisk->m_pLostFolder->AddChild(std::make_unique<CVirtualFile>())->m_strName = u"FILE_1.JPG";

  RefreshOutcome unchanged = doc.Refresh();
  EXPECT_TRUE(unchanged.addedVolumes.empty() && unchanged.removed.empty() && unchanged.disconnected.empty());

  fs::copy_file(FixturePath("fat12.img"), blank, fs::copy_options::overwrite_existing);
  RefreshOutcome gained = doc.Refresh();
  ASSERT_EQ(gained.addedVolumes.size(), 1u);
  EXPECT_EQ(gained.addedVolumes[0]->m_source.strPath, CKelvoDoc::CanonicalImagePath(blank));
  EXPECT_TRUE(gained.removed.empty() && gained.disconnected.empty());
  ASSERT_EQ(doc.Volumes().size(), 2u);
  EXPECT_EQ(doc.Volumes()[0].get(), image);
  EXPECT_EQ(doc.VirtualVolumes()[0].get(), imageDisk);
  EXPECT_EQ(imageDisk->m_pLostFolder->m_children.size(), 1u);
  // Even deleted, an opened image stays: its handle still reads the file.
  fs::remove(blank);
  RefreshOutcome deleted = doc.Refresh();
  EXPECT_TRUE(deleted.removed.empty() && deleted.disconnected.empty());
  EXPECT_EQ(doc.Volumes().size(), 2u);
}
