// The reads the container readers' tests share: a file's bytes, a disk read whole in pieces,
// and the check that a disk reads as the raw disk it was made from, whichever way it is read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/RawDevice.h"

inline std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The whole disk read in pieces of `piece` bytes; empty when a read fails.
inline std::vector<uint8_t> ReadAll(CRawDevice& device, size_t piece) {
  std::vector<uint8_t> all(device.Size());
  for (uint64_t at = 0; at < all.size(); at += piece) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, all.size() - at));
    if (!device.Read(at, all.data() + at, n)) return {};
  }
  return all;
}

// Expects disk to read as raw: in large pieces (many chunks or clusters at once), sector by
// sector (through the window and any read-ahead), in scattered reads of odd sizes from two
// threads at once (one in three across an edge of the image's units of unitBytes, some short),
// one of which tells the device where it reads next (as a recovery does: now and then wrongly
// or past the end); the last bytes read, a read past the end fails, and no sector is counted
// unreadable.
inline void ExpectReadsAsRaw(CRawDevice& disk, const std::vector<uint8_t>& raw, uint64_t unitBytes, uint64_t seed) {
  ASSERT_EQ(disk.Size(), raw.size());
  EXPECT_TRUE(ReadAll(disk, 1 << 20) == raw);
  EXPECT_TRUE(ReadAll(disk, 512) == raw);
  const uint64_t edges = std::max<uint64_t>(1, raw.size() / unitBytes);
  auto scattered = [&](uint64_t s, bool hints, bool* same) {
    std::mt19937_64 r(s);
    std::vector<uint8_t> got(std::min<uint64_t>(raw.size(), 300000));
    *same = true;
    auto next = [&](int i) {
      const uint64_t len = 1 + r() % (i % 2 ? std::min<size_t>(3000, got.size()) : got.size());
      const uint64_t edge = (r() % edges) * unitBytes;
      const uint64_t at = i % 3 == 0 ? std::min<uint64_t>(edge - std::min<uint64_t>(len / 2, edge), raw.size() - len)
                                     : r() % (raw.size() - len + 1);
      return CRawDevice::ByteRange{at, len};
    };
    CRawDevice::ByteRange coming = next(0);
    for (int i = 0; i < 300 && *same; ++i) {
      const CRawDevice::ByteRange read = coming;
      coming = next(i + 1);
      if (hints) {
        const CRawDevice::ByteRange said[] = {coming, next(i), {raw.size() - 10, 1000}, {raw.size() + 5, 10}};
        disk.WillRead(said, i % 5 == 0 ? 4 : 1);
      }
      *same = disk.Read(read.nOffset, got.data(), read.nLength) &&
              std::memcmp(got.data(), raw.data() + read.nOffset, read.nLength) == 0;
    }
  };
  std::mt19937_64 rng(seed);
  bool same1 = false, same2 = false;
  std::thread other(scattered, rng(), true, &same2);
  scattered(rng(), false, &same1);
  other.join();
  EXPECT_TRUE(same1 && same2);
  std::vector<uint8_t> tail(4096);
  EXPECT_TRUE(disk.Read(raw.size() - 100, tail.data(), 100));
  EXPECT_FALSE(disk.Read(raw.size() - 100, tail.data(), 200));
  EXPECT_EQ(disk.UnreadableSectors(), 0u);
}
