// Our QCOW2 reader (platform/Qcow2Image.cpp) on images made by qemu-img and qemu-io
// (tests/fixtures/make_qcow2_images.sh): every variant reads as the raw disk and as libqcow
// reads it, backing files included; what it does not take goes to libqcow; a header that is
// not sane is refused with what is wrong; a damaged cluster, or a file cut while open, reads as
// unreadable sectors while the rest reads, never as zeros.
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <libqcow.h>
#include <nlohmann/json.hpp>

#include "platform/ByteReader.h"
#include "platform/Qcow2Image.h"
#include "platform/Qcow2Layout.h"
#include "platform/RawDevice.h"
#include "support/Fixtures.h"
#include "support/ImageReads.h"

namespace {

const std::string& QcowDir() {
  static const std::string dir = BuildFixtureSet(
      "make_qcow2_images.sh", "manifest.json", FixtureOutputDir("QUARROW_QCOW2_OUT", "qcow2-images", "quarrow-qcow2-"));
  return dir;
}
std::string QcowPath(const std::string& name) { return QcowDir() + "/" + name; }

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The disk as libqcow reads it (no backing file); empty when it cannot open or read it.
std::vector<uint8_t> LibqcowBytes(const std::string& path) {
  libqcow_file_t* file = nullptr;
  if (libqcow_file_initialize(&file, nullptr) != 1) return {};
  std::vector<uint8_t> media;
  size64_t size = 0;
  if (libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, nullptr) == 1 &&
      libqcow_file_get_media_size(file, &size, nullptr) == 1) {
    media.resize(size);
    for (uint64_t at = 0; at < size;) {
      ssize_t n = libqcow_file_read_buffer_at_offset(file, media.data() + at, std::min<uint64_t>(size - at, 1 << 20),
                                                     static_cast<off64_t>(at), nullptr);
      if (n <= 0) {
        media.clear();
        break;
      }
      at += static_cast<uint64_t>(n);
    }
    libqcow_file_close(file, nullptr);
  }
  libqcow_file_free(&file, nullptr);
  return media;
}

// A folder for patched copies, removed when the tests end.
const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string d = RemovedAtExit(QcowDir() + "/scratch-" + std::to_string(::getpid()));
    RunCommand("rm -rf " + ShellQuote(d) + " && mkdir " + ShellQuote(d), nullptr, nullptr);
    return d;
  }();
  return dir;
}

void PutBE(std::vector<uint8_t>& b, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = uint8_t(value >> (8 * (width - 1 - i)));
}

}  // namespace

TEST(Qcow2Image, EveryVariantReadsAsTheRawDiskAndAsLibqcowReadsIt) {
  const struct {
    const char* file;
    const char* raw;
    bool bLibqcow;  // compared with libqcow too (it reads no backing file by itself)
  } cases[] = {
      {"v2.qcow2", "disk.raw", true},        {"v3.qcow2", "disk.raw", true},
      {"small-v2.qcow2", "disk.raw", true},  {"small.qcow2", "disk.raw", true},
      {"large.qcow2", "disk.raw", true},     {"packed.qcow2", "disk.raw", true},
      {"packed-small-v2.qcow2", "disk.raw", true}, {"packed-large.qcow2", "disk.raw", true},
      // libqcow (20201213) reads clusters marked as zeros as the bytes they held before.
      {"zeros.qcow2", "zeros.raw", false},   {"child.qcow2", "child.raw", false},
      {"grandchild.qcow2", "grandchild.raw", false}, {"rawchild.qcow2", "rawchild.raw", false},
      {"long.qcow2", "long.raw", false},
  };
  std::mt19937_64 rng(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<uint8_t> raw = FileBytes(QcowPath(c.raw));
    ASSERT_FALSE(raw.empty());
    std::shared_ptr<CRawDevice> direct;
    std::string error;
    ASSERT_EQ(qcow2::OpenImage(QcowPath(c.file), &direct, &error), qcow2::Opening::Opened) << error;
    direct.reset();

    auto disk = CRawDevice::OpenPath(QcowPath(c.file), &error);
    ASSERT_TRUE(disk) << error;
    ASSERT_STREQ(disk->ContainerName(), "QCOW2");
    ASSERT_EQ(disk->Size(), raw.size());
    ExpectReadsAsRaw(*disk, raw, 65536, rng());
    if (c.bLibqcow) {
      EXPECT_TRUE(LibqcowBytes(QcowPath(c.file)) == raw);
    }
  }
}

TEST(Qcow2Image, VariantsOurReaderDoesNotTakeGoToLibqcow) {
  const struct {
    const char* file;
    const char* why;
  } cases[] = {
      {"v1.qcow", "is version 1"},
      {"zstd.qcow2", "a compression type other than deflate"},
      {"extl2.qcow2", "extended L2 entries"},
      {"external.qcow2", "an external data file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::shared_ptr<CRawDevice> disk;
    std::string error;
    EXPECT_EQ(qcow2::OpenImage(QcowPath(c.file), &disk, &error), qcow2::Opening::Unsupported);
    EXPECT_FALSE(disk);
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    // Whatever libqcow makes of it, it is never read as a raw image; when libqcow cannot open
    // it either, the message says what the image is.
    disk = CRawDevice::OpenPath(QcowPath(c.file), &error);
    if (disk) {
      EXPECT_NE(disk->ContainerName(), nullptr);
    } else {
      EXPECT_EQ(error.rfind(QcowPath(c.file) + ": the QCOW image ", 0), 0u) << error;
      EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
  }
  // Version 1 reads through libqcow as the raw disk.
  std::string error;
  auto v1 = CRawDevice::OpenPath(QcowPath("v1.qcow"), &error);
  ASSERT_TRUE(v1) << error;
  EXPECT_STREQ(v1->ContainerName(), "QCOW");
  EXPECT_TRUE(ReadAll(*v1, 1 << 20) == FileBytes(QcowPath("disk.raw")));
}

TEST(Qcow2Image, HeadersThatAreNotSaneAreRefusedWithWhatIsWrong) {
  // Each case patches a copy of v3.qcow2 (64 KiB clusters, header length 112).
  const std::vector<uint8_t> good = FileBytes(QcowPath("v3.qcow2"));
  ASSERT_GT(good.size(), 65536u);
  const uint64_t l1Offset = bytes::RawBE64(good.data() + qcow2layout::kL1Offset);
  ASSERT_EQ(bytes::RawBE32(good.data() + qcow2layout::kHeaderLength), 112u);
  using qcow2::Opening;
  struct Patch {
    size_t at;
    uint64_t value;
    int width;
  };
  const struct {
    const char* name;
    std::vector<Patch> patches;
    Opening outcome;
    const char* reason;
  } cases[] = {
      {"version", {{4, 99, 4}}, Opening::Refused, "the QCOW image is damaged: its header gives format version 99"},
      {"bits8", {{20, 8, 4}}, Opening::Refused, "its header gives 8 cluster bits, not 9 to 21"},
      {"bits22", {{20, 22, 4}}, Opening::Refused, "its header gives 22 cluster bits, not 9 to 21"},
      {"hlen", {{100, 100, 4}}, Opening::Refused, "a header length of 100 bytes"},
      {"l1none", {{36, 0, 4}}, Opening::Refused, "its L1 table has 0 entries, but a disk of 3148288 bytes needs 1"},
      {"l1huge", {{36, 0xffffffff, 4}}, Opening::Refused, "L1 table of 4294967295 entries is larger than any writer"},
      {"l1far", {{40, (good.size() + (1 << 20)) & ~uint64_t(65535), 8}}, Opening::Refused,
       "its cluster table lies past the end of the file (truncated)"},
      {"l1odd", {{40, l1Offset + 512, 8}}, Opening::Refused, "its L1 table lies at byte"},
      {"l1zero", {{40, 0, 8}}, Opening::Refused, "its L1 table lies at byte 0, over the header"},
      {"vast", {{24, uint64_t(1) << 50, 8}}, Opening::Refused, "its L1 table has 1 entries, but a disk of"},
      {"over", {{24, uint64_t(1) << 63, 8}}, Opening::Refused, "its header gives a disk of 9223372036854775808 bytes"},
      {"empty", {{24, 0, 8}}, Opening::Refused, "the QCOW2 image holds no disk (0 bytes)"},
      {"ztype", {{104, 1, 1}}, Opening::Refused, "compression type 1 without the feature bit"},
      {"name", {{8, 65530, 8}, {16, 10, 4}}, Opening::Refused, "its backing file name (10 bytes at byte 65530)"},
      {"longname", {{8, 4096, 8}, {16, 2000, 4}}, Opening::Refused, "its backing file name (2000 bytes"},
      {"ext", {{116, 0xffffff, 4}}, Opening::Refused, "header extension 0x"},
      {"aes", {{32, 1, 4}}, Opening::Unsupported, "is encrypted (method 1)"},
      {"bit5", {{72, 1 << 5, 8}}, Opening::Unsupported, "the unknown incompatible feature bit 5"},
      {"bit63", {{72, uint64_t(1) << 63, 8}}, Opening::Unsupported, "the unknown incompatible feature bit 63"},
      // Dirty and corrupt only say how the image may be written: it reads.
      {"dirty", {{72, 3, 8}}, Opening::Opened, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = good;
    for (const Patch& p : c.patches) PutBE(bytes, p.at, p.value, p.width);
    const std::string path = ScratchDir() + "/" + c.name + ".qcow2";
    WriteFile(path, bytes);
    std::shared_ptr<CRawDevice> disk;
    std::string error;
    ASSERT_EQ(qcow2::OpenImage(path, &disk, &error), c.outcome) << error;
    if (c.outcome == Opening::Opened) {
      EXPECT_TRUE(ReadAll(*disk, 1 << 20) == FileBytes(QcowPath("disk.raw")));
      continue;
    }
    EXPECT_FALSE(disk);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    // Never read as a raw image.
    error.clear();
    disk = CRawDevice::OpenPath(path, &error);
    if (c.outcome == Opening::Refused) {
      EXPECT_FALSE(disk);
      EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    } else if (disk) {
      EXPECT_NE(disk->ContainerName(), nullptr);
    }
  }
}

TEST(Qcow2Image, DamagedImagesAndBrokenChainsAreRefusedWithWhatIsWrong) {
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"truncated.qcow2", "the QCOW2 image is damaged: data of the disk at byte"},
      {"l1past.qcow2", "the QCOW2 image is damaged: a cluster table lies past the end of the file (truncated)"},
      {"l2past.qcow2", "the QCOW2 image is damaged: data of the disk at byte 0 lies past the end of the file"},
      {"loop-a.qcow2", "the QCOW2 image's backing files form a chain too long to follow"},
      {"wrongfmt.qcow2", "disk.raw is not a QCOW image, as the image says it is"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::shared_ptr<CRawDevice> disk;
    std::string error;
    EXPECT_EQ(qcow2::OpenImage(QcowPath(c.file), &disk, &error), qcow2::Opening::Refused);
    EXPECT_FALSE(disk);
    error.clear();
    EXPECT_FALSE(CRawDevice::OpenPath(QcowPath(c.file), &error));
    EXPECT_EQ(error.rfind(QcowPath(c.file) + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(Qcow2Image, AChainOfSixteenFilesReadsAndOneMoreIsRefused) {
  std::string error;
  auto disk = CRawDevice::OpenPath(QcowPath("deep16.qcow2"), &error);
  ASSERT_TRUE(disk) << error;
  std::vector<uint8_t> want(128 * 1024, 0);
  for (int i = 1; i <= 16; ++i) std::memset(want.data() + i * 4096, i, 4096);
  EXPECT_TRUE(ReadAll(*disk, 512) == want);
  EXPECT_FALSE(CRawDevice::OpenPath(QcowPath("deep17.qcow2"), &error));
  EXPECT_EQ(error, QcowPath("deep17.qcow2") + ": the QCOW2 image's backing files form a chain too long to follow (a loop?)");
}

TEST(Qcow2Image, ADamagedClusterReadsAsUnreadableSectorsAndTheRestReads) {
  const std::vector<uint8_t> raw = FileBytes(QcowPath("disk.raw"));
  const auto damage = nlohmann::json::parse(FileBytes(QcowPath("damage.json")));
  for (const char* name : {"badentry", "flipped"}) {
    SCOPED_TRACE(name);
    const uint64_t from = damage[name][0], bytes = damage[name][1];
    auto touches = [&](uint64_t at, uint64_t len) { return at < from + bytes && at + len > from; };
    std::string error;
    auto disk = CRawDevice::OpenPath(QcowPath(std::string(name) + ".qcow2"), &error);
    ASSERT_TRUE(disk) << error;
    // Front to back in 4 KiB reads, as a scan reads: the reads in the cluster fail, every other
    // one reads the raw disk's bytes.
    std::vector<uint8_t> got(1 << 20);
    for (uint64_t at = 0; at < raw.size(); at += 4096) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(4096, raw.size() - at));
      const bool read = disk->Read(at, got.data(), n);
      ASSERT_EQ(read, !touches(at, n)) << at;
      if (read) {
        ASSERT_EQ(std::memcmp(got.data(), raw.data() + at, n), 0) << at;
      }
    }
    EXPECT_EQ(disk->UnreadableSectors(), bytes / 512);
    EXPECT_TRUE(disk->Read(from - 512, got.data(), 512));
    EXPECT_TRUE(disk->Read(from + bytes, got.data(), 512));
    EXPECT_FALSE(disk->ReadUncached(from, got.data(), bytes));
    EXPECT_FALSE(disk->ReadUncached(from - 512, got.data(), bytes + 1024));
  }
}

TEST(Qcow2Image, AFileCutWhileOpenReadsWhatIsLeftAndFailsTheRestNeverAsZeros) {
  // 512-byte clusters: tables and data alternate through the file, so the cut takes both.
  const std::vector<uint8_t> raw = FileBytes(QcowPath("disk.raw"));
  const std::string path = ScratchDir() + "/cut.qcow2";
  WriteFile(path, FileBytes(QcowPath("small.qcow2")));
  std::string error;
  auto disk = CRawDevice::OpenPath(path, &error);
  ASSERT_TRUE(disk) << error;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(FileBytes(path).size() / 2)), 0);
  std::vector<uint8_t> got(4096);
  uint64_t good = 0, failed = 0;
  for (uint64_t at = 0; at < raw.size(); at += 4096) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(4096, raw.size() - at));
    if (disk->Read(at, got.data(), n)) {
      ++good;
      ASSERT_EQ(std::memcmp(got.data(), raw.data() + at, n), 0) << at;
    } else {
      ++failed;
    }
  }
  EXPECT_GT(good, 100u);
  EXPECT_GT(failed, 100u);
}

TEST(Qcow2Image, L2EntriesDecodeAsTheirClusterSizeSplitsThem) {
  using qcow2layout::ClusterKind;
  const uint64_t copied = uint64_t(1) << 63, compressed = uint64_t(1) << 62;
  const struct {
    uint64_t entry;
    uint32_t bits;
    uint32_t version;
    ClusterKind kind;
    uint64_t host;
    uint64_t stored;
  } cases[] = {
      {0, 16, 3, ClusterKind::Unallocated, 0, 0},
      {copied | 0x50000, 16, 3, ClusterKind::Standard, 0x50000, 0},
      {0x50000, 16, 2, ClusterKind::Standard, 0x50000, 0},  // "copied" only says who else uses it
      {copied | 0x50000 | 1, 16, 3, ClusterKind::Zero, 0x50000, 0},
      {1, 16, 3, ClusterKind::Zero, 0, 0},
      {copied | 0x50000 | 1, 16, 2, ClusterKind::Corrupt, 0x50000, 0},  // no zero bit in version 2
      {copied | 0x50200, 16, 3, ClusterKind::Corrupt, 0x50200, 0},      // not cluster-aligned
      {copied, 16, 3, ClusterKind::Corrupt, 0, 0},                      // allocated at the header
      {copied | 0x600, 9, 3, ClusterKind::Standard, 0x600, 0},
      // Compressed, 64 KiB clusters: the sector count from bit 54, 3 more sectors.
      {compressed | (uint64_t(3) << 54) | 0x12345, 16, 3, ClusterKind::Compressed, 0x12345, 4 * 512 - 0x145},
      // 512-byte clusters: one bit of sectors at bit 61, an offset of 61 bits whose top ones must be 0.
      {compressed | (uint64_t(1) << 61) | 0x800, 9, 2, ClusterKind::Compressed, 0x800, 1024},
      {compressed | (uint64_t(1) << 57) | 0x800, 9, 3, ClusterKind::Corrupt, 0, 0},
      // 2 MiB clusters: 13 bits of sectors from bit 49.
      {compressed | (uint64_t(0x1fff) << 49) | 0x1ffff, 21, 3, ClusterKind::Compressed, 0x1ffff,
       0x2000 * 512 - 0x1ff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.entry << " bits " << std::dec << c.bits);
    const auto got = qcow2layout::DecodeL2Entry(c.entry, c.bits, c.version);
    EXPECT_EQ(got.kind, c.kind);
    if (c.kind == ClusterKind::Standard || c.kind == ClusterKind::Compressed) {
      EXPECT_EQ(got.nHostOffset, c.host);
      EXPECT_EQ(got.nStoredBytes, c.stored);
    }
  }
}
