// The lost-folder search of FAT volumes: the three folder probes, the scan step with and
// without lost-folder search, and a quick re-formatted volume scanned from the command line.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "deepscan/FileTypes.h"
#include "fat/FATDirectory.h"
#include "fat/FatTestImage.h"
#include "support/Fixtures.h"

using namespace fattest;

namespace {

// What "LostFiles" holds after a scan: name and first cluster of every item.
std::vector<std::pair<std::u16string, uint64_t>> Finds(CFATDriver& v) {
  std::vector<std::pair<std::u16string, uint64_t>> out;
  for (const auto& c : v.m_pLostFolder->m_children) {
    if (auto* d = dynamic_cast<CFATDirectory*>(c.get())) out.emplace_back(d->m_strName, d->m_nFirstCluster);
    if (auto* f = dynamic_cast<CFATFile*>(c.get())) out.emplace_back(f->m_strName, f->m_nFirstCluster);
  }
  return out;
}

std::vector<std::u16string> ChildNames(CDirectory* folder) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, true, true);
  std::vector<std::u16string> names;
  for (const auto& c : folder->m_children) names.push_back(c->m_strName);
  return names;
}

// Sixteen valid short entries of files, as the first sector of a root folder holds them.
std::vector<Entry> RootSector() {
  std::vector<Entry> entries;
  for (int i = 0; i < 16; ++i) {
    char name[12];
    std::snprintf(name, sizeof name, "FILE%02d  TXT", i);
    entries.push_back(Short(name, kAttrFile, 100 + i, 100));
  }
  return entries;
}

}  // namespace

// A volume with two orphan pictures, a lost folder tree, a live tree (with a looping file
// chain and a deleted folder still listed in the root), an empty folder and one holding only a
// deleted entry; scanned with lost-folder search on and off.
TEST(LostFolder, ScanFindsLostFoldersOnlyWithScanDir) {
  CFatTestImage img(300);
  img.WriteDir(0, {Short("LIVE       ", kAttrDir, 3, 0), Short("LOOPED  BIN", kAttrFile, 70, 1024),
                   Deleted(Short("ONE        ", kAttrDir, 80, 0))});
  img.Chain({3});
  img.WriteFolder(3, 0, {Short("KEEP    JPG", kAttrFile, 60, 1500)});
  img.Chain({60, 61, 62});
  img.Fill(60, JpegLike(1500, 7));
  img.SetFat(70, 71);
  img.SetFat(71, 70);
  img.WriteFolder(80, 0, {Short("X       JPG", kAttrFile, 85, 700)});
  img.Fill(85, JpegLike(700, 8));
  img.Fill(5, JpegLike(1000, 2));
  img.Fill(8, JpegLike(600, 3));
  // The lost folder D (10 -> 11, still linked) with A.JPG, the subfolder SUB (12) holding
  // B.JPG, and C.TXT in its second cluster. The rest of its first cluster is deleted
  // entries whose bytes hold DXF text; no file begins there (a DXF file begins with its
  // first group), so neither a folder step nor a signature makes anything else of it.
  std::vector<Entry> d = {Short("A       JPG", kAttrFile, 20, 3000), Short("SUB        ", kAttrDir, 12, 0)};
  Entry dxf{};
  std::memcpy(dxf.data(), "\xE5" "0\r\nSECTION\r\n", 13);
  while (d.size() < 14) d.push_back(dxf);
  img.Chain({10, 11});
  img.WriteFolder(10, 0, d);
  img.WriteDir(11, {Short("C       TXT", kAttrFile, 40, 100)});
  img.WriteFolder(12, 10, {Short("B       JPG", kAttrFile, 30, 1500)});
  img.Fill(20, JpegLike(3000, 4));
  img.Fill(30, JpegLike(1500, 5));
  img.Fill(40, std::vector<uint8_t>(100, 'c'));
  img.WriteFolder(50, 0, {});
  img.WriteFolder(52, 0, {Deleted(Short("GONE    TXT", kAttrFile, 0, 0))});

  struct {
    bool bScanDir;
    std::vector<std::pair<std::u16string, uint64_t>> finds;
    uint64_t found;
  } cases[] = {
      // The live tree (LIVE, KEEP.JPG, the looping LOOPED.BIN, the listed deleted folder ONE
      // and its X.JPG) is marked first; D's tree is marked when D is found.
      {true, {{u"FILE_1.JPG", 5}, {u"FILE_2.JPG", 8}, {u"dir_3", 10}}, 2},
      // No folder is made and no folder cluster is tested for a signature; nothing is marked
      // beforehand, so the pictures inside folders are carved too.
      {false,
       {{u"FILE_1.JPG", 5}, {u"FILE_2.JPG", 8}, {u"FILE_3.JPG", 20}, {u"FILE_4.JPG", 30}, {u"FILE_5.JPG", 60},
        {u"FILE_6.JPG", 85}},
       6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bScanDir ? "ScanDir on" : "ScanDir off");
    auto v = img.Open();
    ASSERT_TRUE(v);
    SetAllScanFlags(*v, true);
    {
      std::vector<uint8_t> cluster(v->m_nBytesPerCluster);
      ASSERT_TRUE(v->ReadCluster(10, 0, cluster.data()));
      ASSERT_EQ(v->MatchSignature(10, cluster.data()), kNoFileType);
    }
    v->m_bScanDir = c.bScanDir;
    uint64_t found = 0;
    ASSERT_TRUE(v->ScanUnits(nullptr, found));
    EXPECT_EQ(Finds(*v), c.finds);
    EXPECT_EQ(found, c.found);
    if (!c.bScanDir) continue;

    auto* lost = static_cast<CDirectory*>(v->m_pLostFolder->m_children.at(2).get());
    EXPECT_TRUE(lost->m_bDeleted);
    EXPECT_EQ(lost->m_nStatus, STATUS_GOOD);
    EXPECT_EQ(ChildNames(lost), (std::vector<std::u16string>{u"A.JPG", u"SUB", u"C.TXT"}));
    for (const auto& child : lost->m_children) EXPECT_TRUE(child->m_bDeleted);
    EXPECT_EQ(ChildNames(static_cast<CDirectory*>(lost->m_children.at(1).get())), std::vector<std::u16string>{u"B.JPG"});
    auto* carved = static_cast<CFATFile*>(v->m_pLostFolder->m_children.at(0).get());
    EXPECT_EQ(carved->m_nSize, 1000u);
    EXPECT_EQ(carved->m_strExtension, u"JPG");
    EXPECT_EQ(carved->m_nStatus, STATUS_EXCELLENT);
  }
}

TEST(LostFolder, FolderTests) {
  CFatTestImage img(300);
  img.WriteFolder(10, 0, {Short("A       TXT", kAttrFile, 20, 10)});
  img.WriteFolder(11, 0, {});
  img.WriteFolder(12, 0, {Deleted(Short("GONE    TXT", kAttrFile, 0, 0))});
  img.WriteDir(13, {Short(".          ", kAttrDir, 13, 0)});  // "." without ".."
  img.WriteDir(14, {Short(".          ", kAttrFile, 14, 0), Short("..         ", kAttrDir, 0, 0)});
  auto v = img.Open();
  ASSERT_TRUE(v);
  struct {
    uint64_t cluster;
    bool dots, emptyAfterDots;
  } cases[] = {{10, true, false}, {11, true, true}, {12, true, true}, {13, false, false}, {14, false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(v->HasDotEntries(c.cluster), c.dots) << c.cluster;
    if (c.dots) {
      EXPECT_EQ(v->IsEmptyAfterDots(c.cluster), c.emptyAfterDots) << c.cluster;
    }
  }
  // Only cluster 10 is a lost folder.
  v->m_bScanDir = true;
  uint64_t found = 0;
  ASSERT_TRUE(v->ScanUnits(nullptr, found));
  EXPECT_EQ(Finds(*v), (std::vector<std::pair<std::u16string, uint64_t>>{{u"dir_1", 10}}));
}

TEST(LostFolder, RootClusterProbes) {
  auto label = [](std::vector<Entry>& e) { e[0] = Short("QVOLUME    ", kAttrLabel, 0, 0); };
  auto lfn = LongName(u"Has.dots in it", 0x33);  // two entries, the first with bit 0x40
  struct {
    const char* what;
    std::function<void(std::vector<Entry>&)> change;
    bool probe;
  } cases[] = {
      {"sixteen plain entries", [](std::vector<Entry>&) {}, true},
      {"entry 0 a volume label with cluster 0", label, true},
      {"first byte 0x05", [](std::vector<Entry>& e) { e[4][0] = 0x05; }, true},
      {"long-name entries among them",
       [&](std::vector<Entry>& e) {
         e[6] = lfn[0];
         e[7] = lfn[1];
       },
       true},
      {"a full stop in the name of entry 5", [](std::vector<Entry>& e) { e[5][2] = '.'; }, false},
      {"a label with a cluster", [](std::vector<Entry>& e) { e[0] = Short("QVOLUME    ", kAttrLabel, 7, 0); }, false},
      {"entry 0 ends the folder", [](std::vector<Entry>& e) { e[0] = Entry{}; }, false},
      {"entry 3 ends the folder", [](std::vector<Entry>& e) { e[3] = Entry{}; }, false},
      {"a byte below 0x20 in a name", [](std::vector<Entry>& e) { e[2][6] = 0x1F; }, false},
      {"a vertical bar in a name", [](std::vector<Entry>& e) { e[2][9] = '|'; }, false},
      {"a file without a cluster", [](std::vector<Entry>& e) { e[8] = Short("EMPTY   TXT", kAttrFile, 0, 0); }, false},
      {"a cluster past the last", [](std::vector<Entry>& e) { e[8] = Short("FAR     TXT", kAttrFile, 302, 10); }, false},
      {"attribute bit 0x40", [](std::vector<Entry>& e) { e[9][11] |= 0x40; }, false},
      {"a size beyond the data area", [](std::vector<Entry>& e) { Put32(&e[9][28], 400 * 512); }, false},
      {"62 seconds", [](std::vector<Entry>& e) { Put16(&e[9][22], (10 << 11) | 31); }, false},
      {"minute 60", [](std::vector<Entry>& e) { Put16(&e[9][14], (10 << 11) | (60 << 5)); }, false},
      {"hour 24", [](std::vector<Entry>& e) { Put16(&e[9][22], 24 << 11); }, false},
      {"month 13", [](std::vector<Entry>& e) { Put16(&e[9][24], (43 << 9) | (13 << 5) | 1); }, false},
      {"day 0", [](std::vector<Entry>& e) { Put16(&e[9][16], (43 << 9) | (5 << 5)); }, false},
      {"an access date without month and year", [](std::vector<Entry>& e) { Put16(&e[9][18], 1); }, false},
      {"time and date words of 0", [](std::vector<Entry>& e) { e[9] = Short("ZERO    TXT", kAttrFile, 120, 10, 0, 0); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto entries = RootSector();
    c.change(entries);
    CFatTestImage img(300);
    img.WriteDir(40, entries);
    auto v = img.Open();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->ProbeRootCluster(40), c.probe);
  }

  // The long-name test looks at the end of the cluster: its last entry must begin a name
  // whose ninth character is the terminating 0 (a name of 8 characters in its last entry).
  struct {
    const char* what;
    std::vector<Entry> tail;
    bool result;
  } tails[] = {
      {"no long name", {}, false},
      {"the last entry starts a name of 8 characters", {LongName(u"Abcdefgh", 1)[0]}, true},
      {"the last entry starts a name whose ninth character is not 0", {LongName(u"Abcdefghijk", 1)[0]}, false},
      {"two starts of such names in a row", {LongName(u"Abcdefgh", 1)[0], LongName(u"Ijklmnop", 2)[0]}, false},
      // The ninth character is the whole word at byte 20: a non-Latin eighth character (high
      // byte 0x4E just before it) does not hide the terminating 0, and a ninth character
      // U+0100 (low byte 0, just after the Latin eighth's high byte 0) is not a 0.
      {"a ninth character U+0100 after a Latin eighth", {LongName(u"Abcdefgh\u0100ij", 1)[0]}, false},
      {"a name of 8 characters ending in U+4E2D", {LongName(u"Abcdefg\u4E2D", 1)[0]}, true},
  };
  for (const auto& t : tails) {
    SCOPED_TRACE(t.what);
    auto entries = RootSector();
    std::copy(t.tail.begin(), t.tail.end(), entries.end() - long(t.tail.size()));
    CFatTestImage img(300);
    img.WriteDir(40, entries);
    auto v = img.Open();
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->ProbeRootCluster(40));
    EXPECT_EQ(v->LongNameTest(40), t.result);
    // A cluster passing both is found as a lost root folder.
    v->m_bScanDir = true;
    uint64_t found = 0;
    ASSERT_TRUE(v->ScanUnits(nullptr, found));
    auto finds = Finds(*v);
    if (t.result) {
      ASSERT_EQ(finds, (std::vector<std::pair<std::u16string, uint64_t>>{{u"dir_1 (Root)", 40}}));
      EXPECT_EQ(ChildNames(static_cast<CDirectory*>(v->m_pLostFolder->m_children[0].get())).size(), 15u);
    } else {
      EXPECT_TRUE(finds.empty());
    }
  }
}

// A picture of 10,000 bytes at cluster 100 with 4,096-byte clusters: allocated 12,288 bytes,
// clusters 100 to 102 marked; at the volume's end the last cluster is never marked.
TEST(LostFolder, CarvedFileSizeAndMarkedClusters) {
  CFatTestImage img(300, 8);
  img.Fill(100, JpegLike(10000));
  img.Fill(300, JpegLike(8000));
  auto v = img.Open();
  ASSERT_TRUE(v);
  ASSERT_EQ(v->m_nLastUnit, 301u);
  CUnitBitmap bitmap;
  ASSERT_TRUE(bitmap.Allocate(v->m_nFirstUnit, v->m_nLastUnit));
  EXPECT_FALSE(v->ScanUnit(99, nullptr, nullptr)) << "no bitmap, no scan";
  ASSERT_TRUE(v->ScanUnit(100, &bitmap, nullptr));
  ASSERT_TRUE(v->ScanUnit(300, &bitmap, nullptr));
  for (uint64_t c : {100, 101, 102, 300}) EXPECT_TRUE(bitmap.Test(c)) << c;
  for (uint64_t c : {99, 103, 299, 301}) EXPECT_FALSE(bitmap.Test(c)) << c;
  ASSERT_EQ(v->m_pLostFolder->m_children.size(), 2u);
  auto* file = static_cast<CFATFile*>(v->m_pLostFolder->m_children[0].get());
  EXPECT_EQ(file->m_strName, u"FILE_1.JPG");
  EXPECT_EQ(file->m_nSize, 10000u);
  EXPECT_EQ(file->m_nAllocatedSize, 12288u);
  EXPECT_EQ(file->m_nFirstCluster, 100u);
  EXPECT_TRUE(file->m_bDeleted);
  EXPECT_EQ(v->m_pLostFolder->m_children[1]->m_strName, u"FILE_2.JPG");
}

// reformatted.img (see tests/fixtures/README.md): the deep scan with lost-folder search gives
// back the old folders with their files, the old root's later clusters and the picture of the
// old root, byte for byte, and leaves the image as it was.
TEST(LostFolder, QuickReformattedVolumeGivesBackItsFolders) {
  std::string image = FixturePath("reformatted.img");
  std::string before = Sha256OfFile(image);
  std::ifstream manifestFile(FixturePath("manifest.json"));
  nlohmann::json manifest = nlohmann::json::parse(manifestFile);
  nlohmann::json volume;
  for (const auto& i : manifest.at("images"))
    if (i.at("name") == "reformatted.img") volume = i.at("volumes").at(0);
  ASSERT_FALSE(volume.is_null());
  std::map<std::string, std::string> byPath, byShortName;
  for (const auto& f : volume.at("files")) {
    byPath[f.at("path")] = f.at("sha256");
    byShortName[f.at("short_name")] = f.at("sha256");
  }

  std::filesystem::path out = std::filesystem::path(::testing::TempDir()) / ("lostfolder-" + std::to_string(::getpid()));
  std::filesystem::remove_all(out);
  std::string stdOut, stdErr;
  ASSERT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " deepscan " + ShellQuote(image) +
                           " --scan-dir --types jpg --json --to " + ShellQuote(out.string()),
                       &stdOut, &stdErr),
            0)
      << stdErr;
  std::vector<std::string> names;
  std::istringstream lines(stdOut);
  for (std::string line; std::getline(lines, line);) names.push_back(nlohmann::json::parse(line).at("name"));
  // The old root's clusters 83 to 87 are one lost root folder: its walk goes on from 83
  // into the free clusters after it while they hold entries, so they are not found again.
  EXPECT_EQ(names, (std::vector<std::string>{"dir_1", "dir_2", "FILE_3.JPG", "dir_4 (Root)"}));

  // The old subfolders keep their names inside, the nested one included.
  int checked = 0;
  for (const auto& [path, sha] : byPath) {
    std::filesystem::path written;
    if (path.rfind("My Album/", 0) == 0) written = out / "dir_1" / path.substr(9);
    else if (path.rfind("Old Letters/", 0) == 0) written = out / "dir_2" / path.substr(12);
    else if (path == "Ph 1.jpg") written = out / "FILE_3.JPG";
    else continue;
    EXPECT_EQ(Sha256OfFile(written.string()), sha) << path;
    ++checked;
  }
  EXPECT_EQ(checked, 8);
  // It holds "Root 006" to "Root 040" under their long names (names whose long-name entry
  // ends one cluster and whose short entry starts the next included) and "Root 005" under
  // its short name: its long-name entry lay in cluster 2, which the new root replaced.
  std::set<std::string> written;
  const std::filesystem::path lostRoot = out / "dir_4 (Root)";
  for (const auto& e : std::filesystem::directory_iterator(lostRoot)) {
    std::string name = e.path().filename().string();
    bool isLong = byPath.count(name) != 0;
    ASSERT_TRUE(isLong || byShortName.count(name)) << name;
    EXPECT_EQ(Sha256OfFile(e.path().string()), isLong ? byPath[name] : byShortName[name]) << name;
    written.insert(name);
  }
  std::set<std::string> expected;
  for (const auto& [shortName, sha] : byShortName)
    if (sha == byPath["Root 005"]) expected.insert(shortName);
  ASSERT_EQ(expected.size(), 1u);
  for (int n = 6; n <= 40; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "Root %03d", n);
    expected.insert(name);
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(Sha256OfFile(image), before);
  std::filesystem::remove_all(out);
}
