#include "platform/RawDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 7 + i / 512) & 0xFF);
  return v;
}

std::string WriteTempFile(const std::vector<uint8_t>& bytes) {
  std::string path = std::filesystem::temp_directory_path() / ("quarrow-raw-" + std::to_string(::getpid()) + "-" +
                                                               std::to_string(std::rand()) + ".img");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  return path;
}

}  // namespace

TEST(RawDevice, WindowServesSmallReadsWithFewBackingReads) {
  auto bytes = Pattern(3 << 20);
  std::string path = WriteTempFile(bytes);
  std::string error;
  auto dev = CRawDevice::OpenPath(path, &error);
  ASSERT_TRUE(dev) << error;
  dev->SetWindowBytes(1 << 20);
  EXPECT_EQ(dev->Size(), bytes.size());
  EXPECT_EQ(dev->SectorSize(), 512u);
  std::vector<uint8_t> buf(512);
  for (uint64_t off = 0; off + 512 <= bytes.size(); off += 512) {
    ASSERT_TRUE(dev->Read(off, buf.data(), 512)) << off;
    ASSERT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + long(off))) << off;
  }
  EXPECT_LE(dev->BackingReads(), 4u);
  // A read straddling two windows and a large read are served correctly too.
  std::vector<uint8_t> big(1 << 20);
  ASSERT_TRUE(dev->Read((1 << 20) - 100, big.data(), big.size()));
  EXPECT_TRUE(std::equal(big.begin(), big.end(), bytes.begin() + (1 << 20) - 100));
  ASSERT_TRUE(dev->Read((2 << 20) - 10, buf.data(), 512));
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + (2 << 20) - 10));
  std::filesystem::remove(path);
}

TEST(RawDevice, ReadsPastTheEndFailButTheRestStaysReadable) {
  // An image cut short: the window over its last part cannot be filled whole, yet every
  // sector that exists still reads, and only the missing ones fail.
  auto bytes = Pattern((1 << 20) + 1000);
  std::string path = WriteTempFile(bytes);
  auto dev = CRawDevice::OpenPath(path, nullptr);
  ASSERT_TRUE(dev);
  dev->SetWindowBytes(1 << 20);
  std::vector<uint8_t> buf(512);
  ASSERT_TRUE(dev->Read((1 << 20) + 400, buf.data(), 512));
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + (1 << 20) + 400));
  EXPECT_FALSE(dev->Read((1 << 20) + 512, buf.data(), 512));
  EXPECT_FALSE(dev->Read(UINT64_MAX - 10, buf.data(), 512));
  EXPECT_TRUE(dev->Read(0, buf.data(), 0));
  std::filesystem::remove(path);
}

TEST(RawDevice, SlicesReadTheirRangeOnly) {
  auto dev = CRawDevice::FromMemory(Pattern(8192));
  auto slice = CRawDevice::Slice(dev, 1024, 2048);
  ASSERT_EQ(slice->Size(), 2048u);
  uint8_t b[4];
  ASSERT_TRUE(slice->Read(0, b, 4));
  EXPECT_EQ(b[0], Pattern(8192)[1024]);
  EXPECT_FALSE(slice->Read(2046, b, 4));
  // A slice that claims more than the device holds is cut to it.
  EXPECT_EQ(CRawDevice::Slice(dev, 8000, 1000)->Size(), 192u);
}

TEST(RawDevice, OpenErrorsNameThePath) {
  std::string error;
  EXPECT_FALSE(CRawDevice::OpenPath("/nonexistent/disk.img", &error));
  EXPECT_NE(error.find("/nonexistent/disk.img"), std::string::npos);
  EXPECT_FALSE(CRawDevice::OpenPath("/tmp", &error));
  EXPECT_NE(error.find("folder"), std::string::npos);
}

TEST(RawDevice, NeverOpensForWriting) {
  // Opening a read-only image works, and the descriptor the device holds is read-only.
  std::string path = WriteTempFile(Pattern(4096));
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  auto dev = CRawDevice::OpenPath(path, nullptr);
  ASSERT_TRUE(dev);
  bool sawReadOnly = false;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(e.path(), ec) != path) continue;
    int fd = std::stoi(e.path().filename());
    int flags = ::fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    sawReadOnly = true;
  }
  EXPECT_TRUE(sawReadOnly);
  std::filesystem::remove(path);
}

TEST(RawDevice, ReadAheadServesInOrderScansExactlyAndStopsAtAFailure) {
  // Two images read by one thread under a read-ahead: one front to back in sectors with a
  // step back now and then (a rule measuring a file), the other in between at random. Every
  // byte is right, and the read-ahead reads the scanned image from the file hardly more
  // often than the same reads without it do (each window about once; the lone reads after
  // each read of the other image are the window's own rule).
  auto a = Pattern(8 << 20), b = Pattern(3 << 20);
  std::reverse(b.begin(), b.end());
  const std::string pathA = WriteTempFile(a), pathB = WriteTempFile(b);
  std::string error;
  std::vector<uint8_t> buf(512);
  auto scan = [&](bool ahead) -> std::shared_ptr<CRawDevice> {
    auto devA = CRawDevice::OpenPath(pathA, &error), devB = CRawDevice::OpenPath(pathB, &error);
    EXPECT_TRUE(devA && devB) << error;
    if (!devA || !devB) return nullptr;
    std::unique_ptr<CScopedReadAhead> readAhead;
    if (ahead) readAhead = std::make_unique<CScopedReadAhead>();
    uint64_t x = 88172645463325252ull;
    for (uint64_t off = 0; off + 512 <= a.size(); off += 512) {
      EXPECT_TRUE(devA->Read(off, buf.data(), 512)) << off;
      EXPECT_TRUE(std::equal(buf.begin(), buf.end(), a.begin() + long(off))) << off;
      if (off % (700 * 512) == 0 && off >= 4096) {
        EXPECT_TRUE(devA->Read(off - 4096, buf.data(), 512));
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), a.begin() + long(off - 4096)));
      }
      if (off % (97 * 512) == 0) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const uint64_t at = x % (b.size() - 512);
        EXPECT_TRUE(devB->Read(at, buf.data(), 512)) << at;
        EXPECT_TRUE(std::equal(buf.begin(), buf.end(), b.begin() + long(at))) << at;
      }
      if (::testing::Test::HasFailure()) return nullptr;
    }
    return devA;
  };
  const auto plain = scan(false), devA = scan(true);
  ASSERT_TRUE(plain && devA);
  // At most the windows read ahead past the other image's in-order fills go unused.
  EXPECT_LE(devA->BackingReads(), plain->BackingReads() + 16);
  EXPECT_EQ(devA->FailedReads(), 0u);

  // The image is cut short under the scan: what remains reads right, the rest fails, and
  // nothing hangs.
  auto devC = CRawDevice::OpenPath(pathA, &error);
  ASSERT_TRUE(devC) << error;
  {
    CScopedReadAhead readAhead;
    for (uint64_t off = 0; off < (1 << 20); off += 512) ASSERT_TRUE(devC->Read(off, buf.data(), 512));
    std::filesystem::resize_file(pathA, 5 << 20);
    uint64_t failed = 0;
    for (uint64_t off = 1 << 20; off + 512 <= a.size(); off += 512) {
      if (!devC->Read(off, buf.data(), 512)) {
        ++failed;
        EXPECT_GE(off, uint64_t(5 << 20)) << off;
        continue;
      }
      ASSERT_TRUE(std::equal(buf.begin(), buf.end(), a.begin() + long(off))) << off;
    }
    EXPECT_EQ(failed, (3u << 20) / 512);
  }
  EXPECT_GT(devC->FailedReads(), 0u);
  std::filesystem::remove(pathA);
  std::filesystem::remove(pathB);
}
