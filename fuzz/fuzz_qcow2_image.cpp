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

#include "FuzzImage.h"
#include "platform/Qcow2Image.h"
#include "platform/RawDevice.h"

namespace {
// Bytes of the disk read per input, so that a header claiming a huge disk stays cheap.
constexpr uint64_t kReadBudget = 4u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = MemoryFile(data, size);
  if (fd < 0) return 0;
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
  if (!disk) std::abort();
  // A read the bad-sector policy refused (it may count good sectors inside a bad area) may
  // still read straight from the file; one that read must read the same there.
  ExerciseDisk(*disk, size, kReadBudget, false);
  disk.reset();
  ::close(fd);
  return 0;
}
