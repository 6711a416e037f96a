// The stream reader's bounds on real ntfs-3g-made volumes whose $DATA sizes were patched:
// nothing is written past what the runs map (a crafted size must not fill the
// destination), and bytes past the initialized size are zeros.
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

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

// The image with the first $DATA of record `record` given new real and initialized sizes
// (written in place, outside the words the update sequence protects).
std::string PatchDataSizes(std::string image, uint64_t record, uint64_t realSize, uint64_t initialized) {
  auto* p = reinterpret_cast<uint8_t*>(image.data());
  const uint64_t bytesPerCluster = uint64_t(bytes::RawLE16(p + 0x0B)) * p[0x0D];
  const uint64_t at = bytes::RawLE64(p + 0x30) * bytesPerCluster + record * 1024;
  std::vector<uint8_t> fixed(p + at, p + at + 1024);
  EXPECT_TRUE(ApplyFixup(fixed));
  EXPECT_EQ(CheckRecord(fixed), RecordCheck::Ok);
  AttributeView data = FindAttribute(fixed, kData);
  EXPECT_TRUE(data && data.NonResident());
  const size_t attr = size_t(data.p - fixed.data());
  // The last word of every 512 bytes is the update sequence's: the fields must miss it.
  for (size_t field : {attr + kAttrRealSize, attr + kAttrInitializedSize}) EXPECT_LE(field % 512 + 8, 510u);
  for (int i = 0; i < 8; ++i) {
    p[at + attr + kAttrRealSize + i] = uint8_t(realSize >> (8 * i));
    p[at + attr + kAttrInitializedSize + i] = uint8_t(initialized >> (8 * i));
  }
  return image;
}

int Recover(const std::string& image, const std::string& item, const fs::path& to, std::string* err) {
  return RunCommand(std::string(QUARROW_CLI_PATH) + " recover " + ShellQuote(image) + " " + ShellQuote(item) +
                        " --all --to " + ShellQuote(to.string()),
                    nullptr, err);
}
}  // namespace

TEST(NtfsStream, ContentIsBoundedByTheMappedRunsAndTheInitializedSize) {
  const auto& manifest = NtfsManifestImage("ntfs-4k.img");
  const std::string original = Slurp(NtfsFixturePath("ntfs-4k.img"));
  auto item = [&](const std::string& path) -> const nlohmann::json& {
    for (const auto& i : manifest["items"])
      if (i["path"] == path) return i;
    throw std::runtime_error(path);
  };
  const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-ntfs-stream-" + std::to_string(::getpid()));
  constexpr uint64_t kTiB = 1ULL << 40;
  struct Case {
    const char* path;       // an item of the image
    uint64_t realSize;      // patched sizes
    uint64_t initialized;
    int status;             // of recover
    uint64_t writtenAtMost; // bytes of the output
  } cases[] = {
      // A compressed stream and a plain one claiming a terabyte: only what the runs map.
      {"Compressed/text.txt", kTiB, kTiB, 1, 1 << 20},
      {"Large.bin", kTiB, kTiB, 1, 2 << 20},
      // Initialized up to 100000 of its 1573641 bytes: the rest reads as zeros.
      {"Large.bin", 1573641, 100000, 0, 1573641},
  };
  for (const auto& c : cases) {
    const auto& entry = item(c.path);
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    const std::string image = (dir / "patched.img").string();
    std::ofstream(image, std::ios::binary) << PatchDataSizes(original, entry["record"], c.realSize, c.initialized);
    std::string err;
    EXPECT_EQ(Recover(image, c.path, dir / "out", &err), c.status) << c.path << ": " << err;
    const fs::path written = dir / "out" / fs::path(c.path).filename();
    ASSERT_TRUE(fs::exists(written)) << c.path;
    const uint64_t size = fs::file_size(written);
    EXPECT_LE(size, c.writtenAtMost) << c.path;
    if (c.status == 0) {
      // The initialized part as written, zeros after it.
      const std::string got = Slurp(written.string());
      ASSERT_EQ(got.size(), c.realSize);
      EXPECT_EQ(got.find_first_not_of('\0', c.initialized), std::string::npos) << "stale bytes past the initialized size";
      fs::create_directories(dir / "whole");
      ASSERT_EQ(Recover(NtfsFixturePath("ntfs-4k.img"), c.path, dir / "whole", &err), 0) << err;
      const std::string whole = Slurp((dir / "whole" / fs::path(c.path).filename()).string());
      EXPECT_EQ(got.substr(0, c.initialized), whole.substr(0, c.initialized));
      EXPECT_NE(whole.find_first_not_of('\0', c.initialized), std::string::npos) << "the test needs data there";
    }
  }
  fs::remove_all(dir);
}
