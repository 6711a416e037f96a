// What the disk-image harnesses share: the input made a file, and the promises a disk that
// opened must hold, checked by reading it as the program does.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/RawDevice.h"

// The bytes as an anonymous in-memory file (its path: /proc/self/fd/N); its descriptor, or -1.
inline int MemoryFile(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("fuzz.image", MFD_CLOEXEC);
  if (fd < 0) return -1;
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return fd;
}

// Reads the disk front to back in 4 KiB reads (through the window and any read-ahead, at most
// budget bytes), then 16 scattered ranges chosen from seed, each hinted (WillRead) before it is
// read and compared with the same range read straight from the image, and aborts when a promise
// is broken: a range that reads must read the same both ways (with sameOutcome, one that fails
// must fail both ways too), and a read past the end fails.
inline void ExerciseDisk(CRawDevice& disk, uint64_t seed, uint64_t budget, bool sameOutcome) {
  if (disk.Size() == 0) std::abort();
  std::vector<uint8_t> a(64 * 1024), b(64 * 1024);
  for (uint64_t at = 0; at < disk.Size() && budget >= 4096; at += 4096, budget -= 4096)
    disk.Read(at, a.data(), static_cast<size_t>(std::min<uint64_t>(4096, disk.Size() - at)));
  for (int i = 0; i < 16; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const uint64_t len = 1 + (seed >> 33) % a.size();
    if (len > disk.Size()) break;
    const uint64_t at = (seed >> 7) % (disk.Size() - len + 1);
    // Told first, as a recovery tells it, so the hinted paths meet the same hostile tables.
    const CRawDevice::ByteRange coming[] = {{at, len}, {at + len, 4 * len}};
    disk.WillRead(coming, 2);
    const bool first = disk.Read(at, a.data(), len);
    const bool second = disk.ReadUncached(at, b.data(), len);
    if (sameOutcome && first != second) std::abort();
    if (first && (!second || std::memcmp(a.data(), b.data(), len) != 0)) std::abort();
  }
  if (disk.Read(disk.Size() - 1, a.data(), 2)) std::abort();
}
