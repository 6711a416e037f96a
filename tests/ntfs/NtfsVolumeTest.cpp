// NTFS volumes filled through an ntfs-3g mount (tests/fixtures/ntfs-README.md): every item is
// listed with its path, flags, size and status and every file whose clusters were not reused
// is recovered byte for byte, through quarrow-cli; files beyond 4 GiB are sized whole and read
// at their right offsets, through the volume itself.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSDriver.h"
#include "platform/Text.h"
#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"
#include "fat/FatTestImage.h"
#include "tree/OutputFile.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string Cli(const std::string& args) { return "TZ=UTC " + std::string(QUARROW_CLI_PATH) + " " + args; }

fs::path Scratch(const std::string& name) {
  fs::path p = fs::path(::testing::TempDir()) / ("quarrow-ntfsvolume-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(p);
  RemovedAtExit(p.string());
  fs::create_directories(p);
  return p;
}

// `list IMAGE --recursive --all --json`, by path.
std::map<std::string, json> ListAll(const std::string& image) {
  std::string out, err;
  EXPECT_EQ(RunCommand(Cli("list " + ShellQuote(image) + " --recursive --all --json"), &out, &err), 0) << err;
  std::map<std::string, json> listed;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    json j = json::parse(line);
    EXPECT_FALSE(listed.count(j.at("path"))) << "listed twice: " << j.at("path");
    listed[j.at("path")] = j;
  }
  return listed;
}

// The items a listing must show: the manifest's items that are not hidden, and the two folders
// the program adds to every NTFS root.
std::map<std::string, json> ExpectedItems(const json& image) {
  std::map<std::string, json> expected;
  for (const auto& item : image.at("items"))
    if (!item.at("hidden").get<bool>()) expected[item.at("path")] = item;
  for (const char* name : {"LostFiles", "DeletedFiles"})
    expected[name] = {{"path", name}, {"name", name}, {"dir", true}, {"deleted", true}, {"status", "Existing"}};
  return expected;
}

// Every file and folder below dir, as '/'-joined relative paths.
std::set<std::string> Tree(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.insert(fs::relative(e.path(), dir).string());
  return out;
}

std::string LastPart(const std::string& path) { return path.substr(path.rfind('/') + 1); }

class NtfsVolumeImages : public ::testing::TestWithParam<const char*> {};

}  // namespace

// Existing and deleted items alike, the deleted folder with its deleted children, the orphans
// in one "dir_N" per lost parent, non-ASCII and 255-unit names; nothing whose name (or whose
// folder's name) begins with '$' or '.'.
TEST_P(NtfsVolumeImages, ListsEveryItemWithItsFlagsSizeAndStatus) {
  const json& image = NtfsManifestImage(GetParam());
  const std::string path = NtfsFixturePath(GetParam());
  const std::string before = Sha256OfFile(path);
  const auto expected = ExpectedItems(image);
  const auto listed = ListAll(path);

  for (const auto& [itemPath, item] : expected) {
    auto it = listed.find(itemPath);
    if (it == listed.end()) {
      ADD_FAILURE() << itemPath << " is not listed";
      continue;
    }
    const json& got = it->second;
    EXPECT_EQ(got.at("name"), LastPart(itemPath)) << itemPath;
    EXPECT_EQ(got.at("dir"), item.at("dir")) << itemPath;
    EXPECT_EQ(got.at("deleted"), item.at("deleted")) << itemPath;
    EXPECT_EQ(got.at("status"), item.at("status")) << itemPath;
    if (item.contains("record")) {
      EXPECT_EQ(got.at("record"), item.at("record")) << itemPath;
    }
    if (!item.at("dir").get<bool>()) {
      EXPECT_EQ(got.at("size"), item.at("size")) << itemPath;
    }
    if (item.value("compressed", false)) {
      EXPECT_TRUE(got.at("attributes").get<uint32_t>() & 0x800) << itemPath;
    }
  }
  for (const auto& [itemPath, got] : listed) {
    EXPECT_TRUE(expected.count(itemPath)) << "listed but never written: " << itemPath;
    std::istringstream parts(itemPath);
    for (std::string part; std::getline(parts, part, '/');)
      EXPECT_TRUE(!part.empty() && part[0] != '$' && part[0] != '.') << itemPath;
  }
  EXPECT_EQ(Sha256OfFile(path), before);
}

// Everything but "LostFiles" recovered in one command: existing files, and deleted files whose
// clusters no other file took, come back as written (resident, non-resident, sparse with zeros
// in its holes, compressed decompressed, fragmented, large, orphaned); files whose clusters
// were reused come back at their size; folders, empty ones included, come back as folders.
TEST_P(NtfsVolumeImages, RecoversEveryFileAsWritten) {
  const json& image = NtfsManifestImage(GetParam());
  const std::string path = NtfsFixturePath(GetParam());
  const std::string before = Sha256OfFile(path);
  auto expected = ExpectedItems(image);
  expected.erase("LostFiles");
  const fs::path out = Scratch(std::string("recover-") + GetParam());

  std::string items;
  for (const auto& [itemPath, item] : expected)
    if (itemPath.find('/') == std::string::npos) items += " " + ShellQuote(itemPath);
  std::string stdOut, stdErr;
  EXPECT_EQ(RunCommand(Cli("recover " + ShellQuote(path) + " --all" + items + " --to " + ShellQuote(out.string())),
                       &stdOut, &stdErr),
            0)
      << stdErr;

  // NTFS allows 255 UTF-16 units in a name, Linux 255 bytes: a longer name cannot be written
  // as it is, yet its file must be recovered rather than lost, under a shorter name that keeps
  // the name's beginning and its extension.
  std::set<std::string> written = Tree(out);
  for (auto it = expected.begin(); it != expected.end();) {
    const std::string& name = it->first;
    if (LastPart(name).size() <= 255) {
      ++it;
      continue;
    }
    const std::string head = name.substr(0, 16), extension = name.substr(name.rfind('.'));
    auto found = std::find_if(written.begin(), written.end(), [&](const std::string& w) {
      return w.size() <= 255 && !expected.count(w) && w.rfind(head, 0) == 0 && w.size() > extension.size() &&
             w.compare(w.size() - extension.size(), extension.size(), extension) == 0;
    });
    if (found == written.end()) {
      ADD_FAILURE() << "the file with the " << name.size() << "-byte name was not recovered";
    } else {
      EXPECT_EQ(Sha256OfFile((out / *found).string()), it->second.at("sha256"));
      written.erase(found);
    }
    it = expected.erase(it);
  }

  for (const auto& [itemPath, item] : expected) {
    const fs::path dest = out / itemPath;
    EXPECT_TRUE(written.count(itemPath)) << itemPath << " was not recovered";
    if (item.at("dir").get<bool>()) {
      EXPECT_TRUE(fs::is_directory(dest)) << itemPath;
    } else if (fs::is_regular_file(dest)) {
      EXPECT_EQ(fs::file_size(dest), item.at("size").get<uint64_t>()) << itemPath;
      if (!item.at("clusters_reused").get<bool>()) {
        EXPECT_EQ(Sha256OfFile(dest.string()), item.at("sha256")) << itemPath;
      }
    }
  }
  for (const auto& p : written) EXPECT_TRUE(expected.count(p)) << "recovered but never written: " << p;
  EXPECT_EQ(Sha256OfFile(path), before);
  fs::remove_all(out);
}

// recover --deleted-only from the root: every deleted file at its path (the orphans under
// DeletedFiles/dir_N) with the folders on its way, and nothing else: no existing file, no
// folder without a deleted file below it. Then items given by path: a folder of deleted and
// existing files, an existing file and a folder without deleted files (both passed over).
TEST_P(NtfsVolumeImages, DeletedOnlyRecoversTheDeletedFilesAlone) {
  const json& image = NtfsManifestImage(GetParam());
  const std::string path = NtfsFixturePath(GetParam());
  const std::string before = Sha256OfFile(path);
  const auto expected = ExpectedItems(image);
  std::set<std::string> wanted;
  for (const auto& [itemPath, item] : expected) {
    if (item.at("dir").get<bool>() || !item.at("deleted").get<bool>()) continue;
    wanted.insert(itemPath);
    for (size_t slash = itemPath.find('/'); slash != std::string::npos; slash = itemPath.find('/', slash + 1))
      wanted.insert(itemPath.substr(0, slash));
  }
  ASSERT_TRUE(wanted.count("Old Project/Sub/deep.txt") && wanted.count("DeletedFiles/dir_2/Orphan three.bin"));

  const fs::path out = Scratch(std::string("deleted-only-") + GetParam());
  std::string stdOut, stdErr;
  ASSERT_EQ(RunCommand(Cli("recover " + ShellQuote(path) + " / --deleted-only --to " + ShellQuote(out.string())),
                       &stdOut, &stdErr),
            0)
      << stdErr;
  // The root is written as one folder, named after the volume.
  std::vector<fs::path> top{fs::directory_iterator(out), fs::directory_iterator()};
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(Tree(top[0]), wanted);
  for (const auto& [itemPath, item] : expected) {
    if (item.at("dir").get<bool>() || !item.at("deleted").get<bool>()) continue;
    const fs::path dest = top[0] / itemPath;
    ASSERT_TRUE(fs::is_regular_file(dest)) << itemPath;
    EXPECT_EQ(fs::file_size(dest), item.at("size").get<uint64_t>()) << itemPath;
    if (!item.at("clusters_reused").get<bool>()) {
      EXPECT_EQ(Sha256OfFile(dest.string()), item.at("sha256")) << itemPath;
    }
  }

  fs::remove_all(out);
  fs::create_directories(out);
  ASSERT_EQ(RunCommand(Cli("recover " + ShellQuote(path) + " Docs 'Resident note.txt' Docs/Inner --deleted-only --to " +
                           ShellQuote(out.string())),
                       &stdOut, &stdErr),
            0)
      << stdErr;
  EXPECT_EQ(Tree(out), (std::set<std::string>{"Docs", "Docs/Removed note.txt"}));
  EXPECT_EQ(Sha256OfFile((out / "Docs/Removed note.txt").string()), expected.at("Docs/Removed note.txt").at("sha256"));
  EXPECT_NE(stdErr.find("Resident note.txt: not deleted"), std::string::npos) << stdErr;
  EXPECT_NE(stdErr.find("Docs/Inner: no deleted files"), std::string::npos) << stdErr;

  // Only deleted files, or existing files too: not both.
  EXPECT_EQ(RunCommand(Cli("recover " + ShellQuote(path) + " / --deleted-only --all --to " + ShellQuote(out.string())),
                       &stdOut, &stdErr),
            2);
  EXPECT_EQ(Sha256OfFile(path), before);
  fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(NtfsVolume, NtfsVolumeImages, ::testing::Values("ntfs-4k.img", "ntfs-512.img"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(uint8_t(c)); }, '_');
                           return n;
                         });

namespace {

// Keeps the first nLimit bytes it is given and refuses the write that would pass them.
class CCappedOutput final : public IOutputFile {
 public:
  explicit CCappedOutput(size_t nLimit) : m_nLimit(nLimit) {}
  bool Write(const void* data, size_t len) override {
    size_t nTake = std::min(len, m_nLimit - m_bytes.size());
    m_bytes.insert(m_bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + nTake);
    return nTake == len;
  }
  std::vector<uint8_t> m_bytes;

 private:
  size_t m_nLimit;
};

}  // namespace

// Two sparse files of 5 GiB + 4 KiB, one existing and one deleted, with data in their first
// MiB and their last 4 KiB: sizes are reported whole, the data is written from its start, and
// the last 4 KiB are read at their offset beyond 2^32 bytes.
TEST(NtfsVolume, SizesAndReadsFilesBeyondFourGiB) {
  const json& image = NtfsManifestImage("ntfs-huge.img");
  const std::string path = NtfsFixturePath("ntfs-huge.img");
  const std::string before = Sha256OfFile(path);

  const auto listed = ListAll(path);
  for (const auto& item : image.at("items")) {
    ASSERT_TRUE(listed.count(item.at("path"))) << item.at("path");
    EXPECT_EQ(listed.at(item.at("path")).at("size"), item.at("size")) << item.at("path");
    EXPECT_EQ(listed.at(item.at("path")).at("deleted"), item.at("deleted")) << item.at("path");
  }

  std::string error;
  CNTFSDriver volume;
  volume.m_hDevice = CRawDevice::OpenPath(path, &error);
  ASSERT_TRUE(volume.m_hDevice) << error;
  uint8_t boot[512];
  ASSERT_TRUE(volume.m_hDevice->Read(0, boot, sizeof boot));
  ASSERT_TRUE(volume.Attach(volume.m_hDevice, boot, 0));
  ASSERT_TRUE(volume.Open(0, DRIVE_FIXED, u"huge", true));
  CDirectory* root = volume.m_pRoot;
  root->LoadChildren(true, false, true);

  int checked = 0;
  for (const auto& item : image.at("items")) {
    if (!item.contains("tail_offset")) continue;
    const std::u16string name = text::FromUtf8(item.at("path").get<std::string>());
    auto it = std::find_if(root->m_children.begin(), root->m_children.end(),
                           [&](const auto& c) { return c && c->m_strName == name; });
    ASSERT_NE(it, root->m_children.end()) << item.at("path");
    auto* file = dynamic_cast<CNTFSFile*>(it->get());
    ASSERT_NE(file, nullptr);
    const uint64_t size = item.at("size");
    EXPECT_EQ(file->GetSize(), size);
    EXPECT_GE(file->GetAllocatedSize(), size);

    // The first 4 MiB: the data of the first MiB, then zeros of the hole. The output refuses
    // the rest, which ends the write.
    const size_t head = item.at("head_size"), cap = 4u << 20;
    CCappedOutput out(cap);
    EXPECT_FALSE(file->WriteContent(out, nullptr, 0));
    ASSERT_EQ(out.m_bytes.size(), cap);
    EXPECT_EQ(Sha256Hex(std::string_view(reinterpret_cast<const char*>(out.m_bytes.data()), head)),
              item.at("head_sha256"));
    EXPECT_TRUE(std::all_of(out.m_bytes.begin() + head, out.m_bytes.end(), [](uint8_t b) { return b == 0; }));

    NtfsStream stream;
    ASSERT_TRUE(volume.LoadStream(file->m_nRecord, 0x80, stream));
    EXPECT_EQ(stream.nRealSize, size);
    std::vector<uint8_t> tail(4096);
    ASSERT_TRUE(volume.ReadStreamBytes(stream.runs, item.at("tail_offset"), tail.data(), tail.size()));
    EXPECT_EQ(Sha256Hex(std::string_view(reinterpret_cast<const char*>(tail.data()), tail.size())),
              item.at("tail_sha256"));
    ++checked;
  }
  EXPECT_EQ(checked, 2);
  EXPECT_EQ(Sha256OfFile(path), before);
}

namespace {
struct CMemoryVolume {
  std::shared_ptr<fattest::CTestDevice> device;
  CNTFSDriver volume;
  explicit CMemoryVolume(const std::vector<uint8_t>& bytes, std::set<uint64_t> badSectors = {}) {
    device = std::make_shared<fattest::CTestDevice>(bytes, bytes.size(), std::move(badSectors));
    volume.m_hDevice = device;
    if (!volume.Attach(device, bytes.data(), 0) || !volume.Open(0, DRIVE_FIXED, u"memory", true))
      throw std::runtime_error("the image does not open");
  }
  std::set<std::u16string> RootNames() {
    volume.m_pRoot->LoadChildren(true, false, true);
    std::set<std::u16string> names;
    for (const auto& c : volume.m_pRoot->m_children) names.insert(c->m_strName);
    return names;
  }
  // The 512-byte sector of the image holding the start of MFT record n.
  uint64_t SectorOfRecord(uint64_t n) const {
    const uint64_t offset = n * volume.m_nRecordSize, bpc = volume.m_nBytesPerCluster;
    uint64_t lcn = 0, remaining = 0;
    bool sparse = false;
    if (!MapVcnInRuns(volume.m_mftRuns, offset / bpc, lcn, remaining, sparse) || sparse)
      throw std::runtime_error("record not mapped");
    return (lcn * bpc + offset % bpc) / 512;
  }
};
}  // namespace

// The MFT is read once for its index and its records again when first used: a record in an
// unreadable sector costs that record alone (at either read), and a disk that fails after the
// MFT was read gives folders without the items it can no longer read, never a crash.
TEST(NtfsVolume, UnreadableMftSectorsCostOnlyTheirRecords) {
  std::ifstream in(NtfsFixturePath("ntfs-4k.img"), std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1u << 20);

  CMemoryVolume good(bytes);
  const auto all = good.RootNames();
  const auto* victim = dynamic_cast<const CNTFSFile*>(
      std::find_if(good.volume.m_pRoot->m_children.begin(), good.volume.m_pRoot->m_children.end(),
                   [](const auto& c) { return dynamic_cast<const CNTFSFile*>(c.get()) && !c->m_bDeleted; })
          ->get());
  ASSERT_NE(victim, nullptr);
  ASSERT_GE(victim->m_nRecord, 16u);
  auto without = all;
  without.erase(victim->m_strName);

  // A bad sector from the start: the scan and the later read each lose that record alone.
  const uint64_t bad = good.SectorOfRecord(victim->m_nRecord);
  CMemoryVolume damaged(bytes, {bad});
  EXPECT_EQ(damaged.RootNames(), without);
  EXPECT_GT(damaged.device->FailedReads(), 0u);

  // The MFT read whole, then the disk fails before any record is used.
  CMemoryVolume failing(bytes);
  ASSERT_TRUE(failing.volume.ScanMft(nullptr));
  std::set<uint64_t> mft;
  for (uint64_t n = 0; n < failing.volume.m_nRecordCount; ++n) mft.insert(failing.SectorOfRecord(n));
  failing.device->SetBadSectors(mft);
  EXPECT_EQ(failing.RootNames(), (std::set<std::u16string>{u"LostFiles", u"DeletedFiles"}));
  EXPECT_TRUE(good.volume.HasChildFolder(5));
  EXPECT_FALSE(failing.volume.HasChildFolder(5));
  auto* deleted = failing.volume.m_pRoot->m_children[1].get();
  ASSERT_EQ(deleted->m_strName, u"DeletedFiles");
  static_cast<CDirectory*>(deleted)->LoadChildren(true, false, true);
  EXPECT_TRUE(static_cast<CDirectory*>(deleted)->m_children.empty());
}
