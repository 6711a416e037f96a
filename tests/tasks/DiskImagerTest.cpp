// The disk imager over a device with bad, flaky and vanishing sectors: what ends up in the
// image and the map, how often a bad area is touched, and continuing a copy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "support/FaultyDevice.h"
#include "tasks/DiskImager.h"

namespace {
constexpr uint64_t kSector = CFaultyDevice::kSector;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng() | 1);  // never zero: a zero in the image means "not copied"
  return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class DiskImagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() /
            ("quarrow-imager-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  ImagerOptions Options() {
    ImagerOptions o;
    o.strDest = (m_dir / "copy.img").string();
    o.strMap = (m_dir / "copy.map").string();
    return o;
  }
  // Every sector of the image equals the source's, except the sectors in bad, which are zeros.
  static void ExpectImage(const std::string& path, const std::vector<uint8_t>& source, const std::set<uint64_t>& bad) {
    auto image = ReadFile(path);
    ASSERT_EQ(image.size(), source.size());
    for (uint64_t s = 0; s < source.size() / kSector; ++s) {
      const uint8_t* got = image.data() + s * kSector;
      if (bad.count(s)) {
        EXPECT_TRUE(std::all_of(got, got + kSector, [](uint8_t b) { return b == 0; })) << "sector " << s;
      } else {
        EXPECT_EQ(std::memcmp(got, source.data() + s * kSector, kSector), 0) << "sector " << s;
      }
    }
  }
  std::filesystem::path m_dir;
};
}  // namespace

TEST_F(DiskImagerTest, CopiesAroundBadSectorsAndMapsThem) {
  auto source = RandomBytes(4 << 20, 1);
  auto dev = std::make_shared<CFaultyDevice>(source);
  std::set<uint64_t> bad;
  auto addBad = [&](uint64_t first, uint64_t count) {
    dev->AddBad(first, count);
    for (uint64_t s = first; s < first + count; ++s) bad.insert(s);
  };
  addBad(0, 1);          // the very first sector
  addBad(1000, 10);
  addBad(5000, 1);
  addBad(6000, 1000);    // a bad area
  addBad(8191, 1);       // the very last sector
  dev->AddFlaky(3000, 4, 2);  // good on the third try: pass 1, pass 2 fail, trimming reads it
  dev->AddFlaky(7500, 1, 4);  // good only on the fifth: one retry pass is not enough...

  CDiskImager imager(dev, Options());
  std::string error;
  ASSERT_TRUE(imager.Open(&error)) << error;
  EXPECT_EQ(imager.Run(nullptr), ImagerEnd::BadSectors);
  bad.insert(7500);
  ExpectImage(Options().strDest, source, bad);

  // The map holds exactly the bad sectors as '-', the rest '+', and says it is finished.
  CRescueMap map;
  ASSERT_TRUE(map.Load(Options().strMap, source.size(), &error)) << error;
  EXPECT_EQ(map.m_cCurrentStatus, '+');
  EXPECT_EQ(map.Count('-'), bad.size() * kSector);
  EXPECT_EQ(map.Count('+'), source.size() - bad.size() * kSector);
  for (uint64_t s : bad) EXPECT_EQ(map.StatusAt(s * kSector), '-') << s;
  ImagerStatus st = imager.Status();
  EXPECT_EQ(st.nBad, bad.size() * kSector);
  EXPECT_EQ(st.nBadAreas, 6u);
  EXPECT_EQ(st.nNonTried + st.nNonTrimmed + st.nNonScraped, 0u);

  // Every bad sector was asked for a bounded number of times: pass 1 and 2 (inside larger
  // reads), trimming or scraping, one retry.
  for (uint64_t s : bad) EXPECT_LE(dev->ReadsOfSector(s), 5u) << s;

  // ...so the same command again, with two retries, gets the last flaky sector; of the
  // sectors copied before, none is read again but the one sector a run of failures makes
  // the imager read to tell a bad area from a vanished source.
  std::vector<uint64_t> before(source.size() / kSector);
  for (uint64_t s = 0; s < before.size(); ++s) before[s] = dev->ReadsOfSector(s);
  const uint64_t failedBefore = dev->FailedReads();
  ImagerOptions more = Options();
  more.nRetries = 2;
  CDiskImager again(dev, more);
  ASSERT_TRUE(again.Open(&error)) << error;
  EXPECT_TRUE(again.Continued());
  EXPECT_EQ(again.Run(nullptr), ImagerEnd::BadSectors);
  bad.erase(7500);
  ExpectImage(Options().strDest, source, bad);
  uint64_t goodRereads = 0;
  for (uint64_t s = 0; s < before.size(); ++s)
    if (!bad.count(s) && s != 7500) goodRereads += dev->ReadsOfSector(s) - before[s];
  EXPECT_LE(goodRereads, (dev->FailedReads() - failedBefore) / 8 + 1);
}

TEST_F(DiskImagerTest, FirstPassSkipsABadAreaInAFewReads) {
  // 64 MiB with a bad area of 20000 sectors (10 MiB) in the middle: pass 1 skips over it in
  // growing steps and goes on copying the good data behind it.
  auto source = RandomBytes(64 << 20, 2);
  auto dev = std::make_shared<CFaultyDevice>(source);
  dev->AddBad(40000, 20000);
  CDiskImager imager(dev, Options());
  std::string error;
  ASSERT_TRUE(imager.Open(&error)) << error;
  const CRescueMap& map = imager.Map();
  EXPECT_EQ(imager.Run([&] { return map.m_nCurrentPass > 1 || map.m_cCurrentStatus != '?'; }), ImagerEnd::Stopped);
  EXPECT_LE(dev->FailedReads(), 16u);
  // Behind the bad area everything was copied in pass 1.
  EXPECT_EQ(map.Count('+', 70000 * kSector, source.size()), source.size() - 70000 * kSector);
  EXPECT_EQ(map.Count('-'), 0u);

  // The rest: the bad area costs its sectors, each read a few times, and no more.
  CDiskImager rest(dev, Options());
  ASSERT_TRUE(rest.Open(&error)) << error;
  EXPECT_EQ(rest.Run(nullptr), ImagerEnd::BadSectors);
  EXPECT_EQ(rest.Map().Count('-'), 20000 * kSector);
  EXPECT_LE(dev->FailedReads(), 20000u * 2 + 20000 / 8 + 100);
}

TEST_F(DiskImagerTest, AVanishingSourceEndsTheRunAndTheCopyContinuesLater) {
  auto source = RandomBytes(8 << 20, 3);
  for (int err : {ENODEV, EIO}) {
    SCOPED_TRACE(err);
    std::filesystem::remove(Options().strDest);
    std::filesystem::remove(Options().strMap);
    auto dev = std::make_shared<CFaultyDevice>(source);
    dev->AddBad(100, 4);
    dev->DisconnectAfter(40, err);
    CDiskImager imager(dev, Options());
    std::string error;
    ASSERT_TRUE(imager.Open(&error)) << error;
    EXPECT_EQ(imager.Run(nullptr), ImagerEnd::SourceGone);
    EXPECT_NE(imager.Problem().find(err == ENODEV ? "gone" : "stopped answering"), std::string::npos)
        << imager.Problem();
    // Ended within a few reads of the disconnect, not after a sweep of failing reads.
    EXPECT_LE(dev->Reads(), 40u + 10u);

    // The map on disk holds what was copied; the sectors the disconnect failed are still to
    // be tried, not marked bad.
    CRescueMap saved;
    ASSERT_TRUE(saved.Load(Options().strMap, source.size(), &error)) << error;
    EXPECT_GT(saved.Count('+'), 0u);
    EXPECT_EQ(saved.Count('-'), 0u);

    // Plugged in again: the copy continues and reads nothing it had copied.
    auto back = std::make_shared<CFaultyDevice>(source);
    back->AddBad(100, 4);
    CDiskImager resumed(back, Options());
    ASSERT_TRUE(resumed.Open(&error)) << error;
    EXPECT_EQ(resumed.Run(nullptr), ImagerEnd::BadSectors);
    for (const auto& b : saved.Blocks())
      if (b.cStatus == '+')
        for (uint64_t s = b.nPos / kSector; s < (b.nPos + b.nSize) / kSector; ++s)
          ASSERT_EQ(back->ReadsOfSector(s), 0u) << "sector " << s << " was copied before";
    ExpectImage(Options().strDest, source, {100, 101, 102, 103});
  }
}

TEST_F(DiskImagerTest, AStoppedCopyContinuesWhereItStopped) {
  auto source = RandomBytes(4 << 20, 4);
  auto dev = std::make_shared<CFaultyDevice>(source);
  dev->AddBad(2000, 3);
  ImagerOptions o = Options();
  o.nFirstSector = 100;
  o.nLastSector = 6099;
  int calls = 0;
  {
    CDiskImager imager(dev, o);
    std::string error;
    ASSERT_TRUE(imager.Open(&error)) << error;
    EXPECT_EQ(imager.Run([&] { return ++calls > 10; }), ImagerEnd::Stopped);
  }
  const uint64_t readsBefore = dev->Reads();
  CDiskImager imager(dev, o);
  std::string error;
  ASSERT_TRUE(imager.Open(&error)) << error;
  EXPECT_EQ(imager.Run(nullptr), ImagerEnd::BadSectors);
  // Only the range was read, and each good sector of it once over both runs.
  EXPECT_EQ(dev->ReadsOfSector(99), 0u);
  EXPECT_EQ(dev->ReadsOfSector(6100), 0u);
  for (uint64_t s : {100u, 500u, 1500u, 6099u}) EXPECT_EQ(dev->ReadsOfSector(s), 1u) << s;
  EXPECT_GT(dev->Reads(), readsBefore);
  const CRescueMap& map = imager.Map();
  EXPECT_EQ(map.Count('+'), (6000 - 3) * kSector);
  EXPECT_EQ(map.Count('?'), source.size() - 6000 * kSector);
  // The image has the source's size; outside the range it is zeros.
  auto image = ReadFile(o.strDest);
  ASSERT_EQ(image.size(), source.size());
  EXPECT_EQ(image[99 * kSector], 0);
  EXPECT_EQ(image[100 * kSector], source[100 * kSector]);
}

TEST_F(DiskImagerTest, RefusesToOverwriteOrToMixUpCopies) {
  auto source = RandomBytes(1 << 20, 5);
  auto dev = std::make_shared<CFaultyDevice>(source);
  std::string error;
  const ImagerOptions o = Options();
  {
    // An existing destination without its map is never overwritten.
    std::ofstream(o.strDest) << "precious";
    CDiskImager imager(dev, o);
    EXPECT_FALSE(imager.Open(&error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(o.strDest).size(), 8u);
    std::filesystem::remove(o.strDest);
  }
  {
    // A map of a larger source.
    CRescueMap big(2 << 20);
    ASSERT_TRUE(big.Save(o.strMap, &error));
    CDiskImager imager(dev, o);
    EXPECT_FALSE(imager.Open(&error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
  }
  {
    // A map that says data was copied, while the image is gone.
    CRescueMap half(1 << 20);
    half.Set(0, 4096, '+');
    ASSERT_TRUE(half.Save(o.strMap, &error));
    CDiskImager imager(dev, o);
    EXPECT_FALSE(imager.Open(&error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(o.strDest));
    std::filesystem::remove(o.strMap);
  }
  {
    ImagerOptions same = o;
    same.strMap = same.strDest;
    CDiskImager imager(dev, same);
    EXPECT_FALSE(imager.Open(&error));
    EXPECT_NE(error.find("two files"), std::string::npos) << error;
  }
  {
    ImagerOptions range = o;
    range.nFirstSector = 2048;  // the source has 2048 sectors
    CDiskImager imager(dev, range);
    EXPECT_FALSE(imager.Open(&error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
  }
  EXPECT_EQ(dev->Reads(), 0u);
}
