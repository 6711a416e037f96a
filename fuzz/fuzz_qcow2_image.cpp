// Our QCOW2 reader over an arbitrary image file: the header, its extensions, the L1 and L2
// tables, standard, zero and compressed clusters. The input is the image file; it is opened
// through an anonymous in-memory file (/proc/self/fd/N). A backing file name it records is
// looked for beside it, in /proc/self/fd, which may name the image itself: the chain bound
// ends that. An image that opens must hold its promises, checked here: reads stay inside the
// disk, a range that reads through the window reads the same straight from the file, and a
// read past the end fails.
//
// The seeds in corpus/fuzz_qcow2_image are images written by qemu-img and qemu-io of a small
// disk (pseudo-random bytes, text and zeros): versions 2 and 3, 512-byte and 4 KiB clusters,
// compressed clusters, clusters marked as zeros.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Qcow2Image.h"
#include "platform/RawDevice.h"

namespace {
// Bytes of the disk read per input, so that a header claiming a huge disk stays cheap.
constexpr uint64_t kReadBudget = 4u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = ::memfd_create("fuzz.qcow2", MFD_CLOEXEC);
  if (fd < 0) return 0;
  for (size_t done = 0; done < size;) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) {
      ::close(fd);
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::shared_ptr<CRawDevice> disk;
  std::string error;
  const qcow2::Opening opening = qcow2::OpenImage(path, &disk, &error);
  if (opening != qcow2::Opening::Opened) {
    if (disk) std::abort();
    if ((opening == qcow2::Opening::Refused || opening == qcow2::Opening::Unsupported) && error.empty()) std::abort();
    ::close(fd);
    return 0;
  }
  if (!disk || disk->Size() == 0) std::abort();
  // Front to back in 4 KiB reads (through the window), then scattered reads compared with a
  // second read of the same bytes.
  std::vector<uint8_t> a(64 * 1024), b(64 * 1024);
  uint64_t budget = kReadBudget;
  for (uint64_t at = 0; at < disk->Size() && budget >= 4096; at += 4096, budget -= 4096)
    disk->Read(at, a.data(), static_cast<size_t>(std::min<uint64_t>(4096, disk->Size() - at)));
  uint64_t seed = size;
  for (int i = 0; i < 16; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const uint64_t len = 1 + (seed >> 33) % a.size();
    if (len > disk->Size()) break;
    const uint64_t at = (seed >> 7) % (disk->Size() - len + 1);
    const bool first = disk->Read(at, a.data(), len);
    const bool second = disk->ReadUncached(at, b.data(), len);
    // A read the bad-sector policy refused (it may count good sectors inside a bad area) may
    // still read straight from the file; one that read must read the same there.
    if (first && (!second || std::memcmp(a.data(), b.data(), len) != 0)) std::abort();
  }
  if (disk->Read(disk->Size() - 1, a.data(), 2)) std::abort();
  disk.reset();
  ::close(fd);
  return 0;
}
