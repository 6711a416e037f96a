// Deleted records whose parent cannot hold them are listed under "DeletedFiles", never
// nowhere and never twice; checked on ntfs-3g-made volumes whose deleted folder record was
// damaged, against The Sleuth Kit's orphan listing.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "ntfs/MftRecord.h"
#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"
#include "support/Fixtures.h"
#include "support/NtfsFixtures.h"

namespace fs = std::filesystem;
using namespace ntfsrecord;

namespace {
std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The offset of record n in a volume image whose MFT starts contiguously (as mkntfs lays
// it out).
size_t RecordAt(const std::string& image, uint64_t n) {
  const auto* p = reinterpret_cast<const uint8_t*>(image.data());
  const uint64_t bytesPerCluster = uint64_t(bytes::RawLE16(p + 0x0B)) * p[0x0D];
  return size_t(bytes::RawLE64(p + 0x30) * bytesPerCluster + n * 1024);
}

// Record number -> listed paths.
std::map<uint64_t, std::vector<std::string>> Listed(const std::string& image) {
  std::string out, err;
  EXPECT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " list " + ShellQuote(image) + " --recursive --all --json",
                       &out, &err),
            0)
      << err;
  std::map<uint64_t, std::vector<std::string>> listed;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    const auto j = nlohmann::json::parse(l);
    if (j.contains("record") && !j["path"].get<std::string>().ends_with("/dir_1") &&
        !j["path"].get<std::string>().ends_with("/dir_2") && !j["path"].get<std::string>().ends_with("/dir_3"))
      listed[j["record"]].push_back(j["path"]);
  }
  return listed;
}
}  // namespace

TEST(NtfsOrphans, ChildrenOfAnUnusableFolderAreListedUnderDeletedFiles) {
  const std::string original = Slurp(NtfsFixturePath("ntfs-4k.img"));
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-orphans-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  // "Old Project" (record 68, deleted) holds plan.txt (97), data.bin (98) and Sub (69), which
  // holds deep.txt (99).
  const uint64_t folder = 68;
  const std::vector<uint64_t> below = {69, 97, 98, 99};
  struct Case {
    const char* what;
    std::function<void(std::string&, size_t)> patch;
  } cases[] = {
      {"name lost",
       [](std::string& img, size_t at) {
         std::vector<uint8_t> fixed(img.begin() + long(at), img.begin() + long(at) + 1024);
         ASSERT_TRUE(ApplyFixup(fixed));
         AttributeView a = FindAttribute(fixed, kFileName);
         ASSERT_TRUE(a);
         img[at + size_t(a.p - fixed.data())] = 0x40;  // no longer a $FILE_NAME
       }},
      {"record reused",
       [](std::string& img, size_t at) { img[at + kSequence] = char(img[at + kSequence] + 5); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string image = original;
    c.patch(image, RecordAt(image, folder));
    const std::string path = (dir / "patched.img").string();
    std::ofstream(path, std::ios::binary) << image;
    auto listed = Listed(path);
    std::string fls;
    ASSERT_EQ(RunCommand("fls -r -p " + ShellQuote(path), &fls, nullptr), 0);
    for (uint64_t record : below) {
      ASSERT_EQ(listed[record].size(), 1u) << "record " << record << " listed " << listed[record].size() << " times";
      EXPECT_EQ(listed[record][0].rfind("DeletedFiles/", 0), 0u) << listed[record][0];
      // The Sleuth Kit finds it too (as an orphan).
      EXPECT_NE(fls.find(" " + std::to_string(record) + "-"), std::string::npos) << record;
    }
  }
  fs::remove_all(dir);
}
