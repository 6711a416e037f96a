// Our E01 reader (platform/EwfImage.cpp) on images made by ewfacquire and ewfexport
// (tests/fixtures/make_ewf_images.sh): every variant reads as the raw disk and as libewf reads
// it; damaged and incomplete images are refused with what is wrong; a chunk that fails its
// check reads as unreadable sectors while the rest reads, and a recovery over it says which
// bytes it could not read; other files are left to other readers.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <libewf.h>
#include <nlohmann/json.hpp>

#include "platform/EwfImage.h"
#include "platform/RawDevice.h"
#include "support/FaultyMount.h"
#include "support/Fixtures.h"
#include "support/ImageReads.h"

namespace {

const std::string& EwfDir() {
  static const std::string dir = BuildFixtureSet(
      "make_ewf_images.sh", "manifest.json", FixtureOutputDir("QUARROW_EWF_OUT", "ewf-images", "quarrow-ewf-"));
  return dir;
}
std::string EwfPath(const std::string& name) { return EwfDir() + "/" + name; }

// The media as libewf reads it; empty when libewf cannot open the image.
std::vector<uint8_t> LibewfBytes(const std::string& first) {
  char** names = nullptr;
  int count = 0;
  if (libewf_glob(first.c_str(), first.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, nullptr) != 1) return {};
  libewf_handle_t* handle = nullptr;
  libewf_handle_initialize(&handle, nullptr);
  std::vector<uint8_t> media;
  size64_t size = 0;
  if (libewf_handle_open(handle, names, count, LIBEWF_OPEN_READ, nullptr) == 1 &&
      libewf_handle_get_media_size(handle, &size, nullptr) == 1) {
    media.resize(size);
    for (uint64_t at = 0; at < size;) {
      ssize_t n = libewf_handle_read_random(handle, media.data() + at, std::min<uint64_t>(size - at, 1 << 20),
                                            static_cast<off64_t>(at), nullptr);
      if (n <= 0) {
        media.clear();
        break;
      }
      at += static_cast<uint64_t>(n);
    }
    libewf_handle_close(handle, nullptr);
  }
  libewf_handle_free(&handle, nullptr);
  libewf_glob_free(names, count, nullptr);
  return media;
}

}  // namespace

TEST(EwfImage, EveryVariantReadsAsTheRawDiskAndAsLibewfReadsIt) {
  const struct {
    const char* file;
    const char* raw;
    ewf::Opening ours;  // Unsupported: read through libewf
    bool bLibewfReadsIt = true;
  } cases[] = {
      {"none.E01", "disk.raw", ewf::Opening::Opened},   {"fast.E01", "disk.raw", ewf::Opening::Opened},
      {"one.E01", "disk.raw", ewf::Opening::Opened},    {"best.E01", "disk.raw", ewf::Opening::Opened},
      {"empty.E01", "disk.raw", ewf::Opening::Opened},  {"large.E01", "disk.raw", ewf::Opening::Opened},
      {"ftk.E01", "disk.raw", ewf::Opening::Opened},    {"orig.e01", "disk.raw", ewf::Opening::Opened},
      {"export.E01", "disk.raw", ewf::Opening::Opened}, {"export1.E01", "disk.raw", ewf::Opening::Opened},
      {"wide.E01", "wide.raw", ewf::Opening::Unsupported},
      // The damaged table is read from its copy; libewf (20140813) reads the image's last chunk
      // wrong instead.
      {"table.E01", "disk.raw", ewf::Opening::Opened, false},
  };
  std::mt19937_64 rng(11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> raw = FileBytes(EwfPath(c.raw));
    ASSERT_FALSE(raw.empty());
    std::shared_ptr<CRawDevice> direct;
    std::string error;
    EXPECT_EQ(ewf::OpenImage(EwfPath(c.file), &direct, &error), c.ours) << error;
    direct.reset();

    auto disk = CRawDevice::OpenPath(EwfPath(c.file), &error);
    ASSERT_TRUE(disk) << error;
    ASSERT_STREQ(disk->ContainerName(), "EWF");
    ASSERT_EQ(disk->Size(), raw.size());
    ExpectReadsAsRaw(*disk, raw, 32768, rng());
    if (c.bLibewfReadsIt) {
      EXPECT_TRUE(LibewfBytes(EwfPath(c.file)) == raw);
    }
  }
}

TEST(EwfImage, DamagedOrIncompleteImagesAreRefusedWithWhatIsWrong) {
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"gone.E01", "the EWF image is incomplete: a segment file is missing: segment 2 (gone.E02) is not there"},
      {"cut.E01", "the EWF image is damaged: cut.E03 is truncated: "},
      {"dup.E01", "the EWF image is damaged: dup.E02 holds segment 1 again (a duplicate), where segment 2 belongs"},
      {"swap.E01", "the EWF image is damaged: swap.E02 holds segment 3 where segment 2 belongs"},
      {"tables.E01", "the EWF image is damaged: tables.E01 has a chunk table at byte"},
      {"section.E01", "the EWF image is damaged: section.E01 has a section descriptor with a bad checksum at byte"},
      {"none.E02", "this is segment 2 of an EWF image; open its first segment, none.E01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::shared_ptr<CRawDevice> disk;
    std::string error;
    // Refused by our reader, never handed to libewf.
    EXPECT_EQ(ewf::OpenImage(EwfPath(c.file), &disk, &error), ewf::Opening::Refused);
    EXPECT_FALSE(disk);
    error.clear();
    EXPECT_FALSE(CRawDevice::OpenPath(EwfPath(c.file), &error));
    EXPECT_EQ(error.rfind(EwfPath(c.file) + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  std::string error;
  CRawDevice::OpenPath(EwfPath("tables.E01"), &error);
  EXPECT_NE(error.find("and its copy at byte"), std::string::npos) << error;
  EXPECT_NE(error.find("both damaged (bad checksum of its entries; bad checksum of its entries)"), std::string::npos)
      << error;
}

TEST(EwfImage, AChunkThatFailsItsCheckReadsAsUnreadableSectorsAndTheRestReads) {
  const std::vector<uint8_t> raw = FileBytes(EwfPath("disk.raw"));
  const auto facts = nlohmann::json::parse(FileBytes(EwfPath("flipped.json")));
  const uint64_t chunkBytes = facts["chunk_bytes"];
  std::vector<uint64_t> damaged;
  for (const auto& d : facts["damaged"]) damaged.push_back(d["chunk"]);
  ASSERT_EQ(damaged.size(), 2u);  // one stored as is, one compressed
  auto touchesDamage = [&](uint64_t at, uint64_t len) {
    for (uint64_t c : damaged)
      if (at < (c + 1) * chunkBytes && at + len > c * chunkBytes) return true;
    return false;
  };
  std::string error;
  auto disk = CRawDevice::OpenPath(EwfPath("flipped.E01"), &error);
  ASSERT_TRUE(disk) << error;
  ASSERT_EQ(disk->Size(), raw.size());
  // Front to back in 4 KiB reads, as a scan reads: the reads in the two chunks fail, every
  // other one reads the raw disk's bytes.
  std::vector<uint8_t> got(1 << 20);
  for (uint64_t at = 0; at < raw.size(); at += 4096) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(4096, raw.size() - at));
    const bool read = disk->Read(at, got.data(), n);
    ASSERT_EQ(read, !touchesDamage(at, n)) << at;
    if (read) {
      ASSERT_EQ(std::memcmp(got.data(), raw.data() + at, n), 0) << at;
    }
  }
  // Exactly the chunks' sectors are known unreadable; reads beside them still work, one
  // across them fails, and nothing reads as zeros or garbage.
  EXPECT_EQ(disk->UnreadableSectors(), damaged.size() * chunkBytes / 512);
  for (uint64_t c : damaged) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(disk->Read(c * chunkBytes - 512, got.data(), 512));
    EXPECT_TRUE(disk->Read((c + 1) * chunkBytes, got.data(), 512));
    EXPECT_FALSE(disk->Read(c * chunkBytes + 1000, got.data(), 10));
    EXPECT_FALSE(disk->Read(c * chunkBytes - 512, got.data(), chunkBytes + 1024));
    EXPECT_FALSE(disk->ReadUncached(c * chunkBytes, got.data(), chunkBytes));
  }
  // A reader of large pieces gets the others whole.
  for (uint64_t at = 0; at < raw.size(); at += got.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(got.size(), raw.size() - at));
    EXPECT_EQ(disk->Read(at, got.data(), n), !touchesDamage(at, n)) << at;
  }
}

// A recovery tells the device which scattered ranges it reads next: the read-ahead thread reads
// and decodes their chunks before the reader asks, and the reader then gets them from the cache,
// each chunk read from the file once. The image is served through faultyfs, which logs every
// read of the file.
TEST(EwfImage, HintedChunksAreReadAheadOnceBeforeTheReaderAsks) {
  const std::vector<uint8_t> raw = FileBytes(EwfPath("disk.raw"));
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("quarrow-ewf-hints-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string log = (dir / "reads.log").string();
  auto loggedReads = [&] {
    std::ifstream in(log);
    return std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
  };
  {
    CFaultyMount mount(EwfPath("one.E01"), "log " + log + "\n", dir);
    std::string error;
    auto disk = CRawDevice::OpenPath(mount.File(), &error);
    ASSERT_TRUE(disk) << error;
    ASSERT_STREQ(disk->ContainerName(), "EWF");
    ASSERT_TRUE(disk->TakesReadHints());
    // Chunks 3 and 20 hold pseudo-random bytes (stored as they are), 60 zeros and 70 text
    // (compressed); none of them is read yet.
    const CRawDevice::ByteRange ranges[] = {
        {3 * 32768 + 100, 5000}, {70 * 32768, 512}, {20 * 32768 + 32000, 1000}, {60 * 32768, 32768}};
    const auto opened = loggedReads();
    disk->WillRead(ranges, std::size(ranges));
    // Five chunks (the third range crosses into chunk 21), each read by the read-ahead thread.
    ASSERT_TRUE(WaitUntil([&] { return loggedReads() >= opened + 5; }, std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto ahead = loggedReads();
    EXPECT_EQ(ahead, opened + 5);
    std::vector<uint8_t> got(32768);
    for (const auto& r : ranges) {
      SCOPED_TRACE(r.nOffset);
      ASSERT_TRUE(disk->Read(r.nOffset, got.data(), r.nLength));
      EXPECT_EQ(std::memcmp(got.data(), raw.data() + r.nOffset, r.nLength), 0);
    }
    EXPECT_EQ(loggedReads(), ahead);  // every byte came from the chunks read ahead
  }
  std::filesystem::remove_all(dir);
}

TEST(EwfImage, FilesOurReaderDoesNotTakeGoToOtherReaders) {
  std::shared_ptr<CRawDevice> disk;
  std::string error;
  // Not EWF at all: not ours, and read as a raw image whatever its name.
  EXPECT_EQ(ewf::OpenImage(EwfPath("notewf.E01"), &disk, &error), ewf::Opening::NotEwf1);
  disk = CRawDevice::OpenPath(EwfPath("notewf.E01"), &error);
  ASSERT_TRUE(disk) << error;
  EXPECT_EQ(disk->ContainerName(), nullptr);
  // EWF version 2 is not ours: it goes to libewf, which refuses this one (it is never read as
  // a raw image).
  EXPECT_EQ(ewf::OpenImage(EwfPath("v2.Ex01"), &disk, &error), ewf::Opening::NotEwf1);
  error.clear();
  EXPECT_FALSE(CRawDevice::OpenPath(EwfPath("v2.Ex01"), &error));
  EXPECT_EQ(error.rfind(EwfPath("v2.Ex01") + ": the EWF image ", 0), 0u) << error;
}

TEST(EwfImage, SegmentNamesFollowTheNumbering) {
  const struct {
    const char* first;
    uint32_t number;
    const char* name;
  } cases[] = {
      {"/x/disk.E01", 1, "/x/disk.E01"},   {"/x/disk.E01", 2, "/x/disk.E02"},   {"disk.E01", 99, "disk.E99"},
      {"disk.E01", 100, "disk.EAA"},       {"disk.E01", 125, "disk.EAZ"},       {"disk.E01", 126, "disk.EBA"},
      {"disk.E01", 775, "disk.EZZ"},       {"disk.E01", 776, "disk.FAA"},       {"disk.E01", 14971, "disk.ZZZ"},
      {"disk.E01", 14972, ""},             {"disk.e01", 100, "disk.eaa"},       {"disk.s01", 2, "disk.s02"},
      {"disk.E02", 3, ""},                 {"disk.raw", 2, ""},                 {"a.E01/disk", 2, ""},
      {"disk.E01", 0, ""},                 {"/proc/self/fd/5", 2, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ewf::SegmentName(c.first, c.number), c.name) << c.first << " " << c.number;
}

TEST(EwfImage, ARecoveryOverADamagedChunkSavesTheRestAndNamesTheBytesMissing) {
  // The chunk's bytes are reported unreadable and the file incomplete; every other byte of the
  // file is the original's.
  const std::vector<uint8_t> original = FileBytes(EwfPath("file.bin"));
  const auto facts = nlohmann::json::parse(FileBytes(EwfPath("fatbad.json")));
  const uint64_t from = facts["file_offset"], bytes = facts["bytes"];
  const std::string dir = RemovedAtExit(EwfDir() + "/recovered-" + std::to_string(::getpid()));
  ASSERT_EQ(RunCommand("rm -rf " + ShellQuote(dir) + " && mkdir " + ShellQuote(dir), nullptr, nullptr), 0);
  std::string out, err;
  const std::string report = dir + "/report.jsonl";
  EXPECT_EQ(RunCommand(std::string(QUARROW_CLI_PATH) + " recover " + ShellQuote(EwfPath("fatbad.E01")) +
                           " /FILE.BIN --all --to " + ShellQuote(dir) + " --report " + ShellQuote(report),
                       &out, &err),
            1)
      << err;
  std::ifstream lines(report);
  std::string first;
  ASSERT_TRUE(std::getline(lines, first));
  const auto item = nlohmann::json::parse(first);
  EXPECT_EQ(item.value("result", ""), "incomplete") << first;
  EXPECT_EQ(item["unreadable"], nlohmann::json::array({nlohmann::json::array({from, bytes})})) << first;
  const std::vector<uint8_t> saved = FileBytes(dir + "/FILE.BIN");
  ASSERT_EQ(saved.size(), original.size());
  EXPECT_EQ(std::memcmp(saved.data(), original.data(), from), 0);
  EXPECT_EQ(std::memcmp(saved.data() + from + bytes, original.data() + from + bytes, saved.size() - from - bytes), 0);
}
