// Our EWF (E01) reader over an arbitrary one-segment image: the segment header, the section
// chain, the media values, the tables and the chunks. The input is the segment file; it is
// opened through an anonymous in-memory file, whose name (/proc/self/fd/N) names no further
// segment. An image that opens must hold its promises, checked here: reads stay inside the
// disk, a chunk reads the same twice (from the cache and inflated again), and the read-ahead
// thread stops when the device goes.
//
// Mutations seldom keep a checksum right, so an input of odd length has the checksums of its
// section descriptors, media values and tables set right before it is opened: the mutations
// then reach the tables and the chunks; inputs of even length reach the checksum checks.
//
// The seeds in corpus/fuzz_ewf_image are one-segment images written by ewfacquire and ewfexport
// (stored and compressed chunks, 32 KiB and 64 KiB chunks, the EnCase 1 and original layouts
// with the chunks inside the tables) of small pseudo-random, zero and text disks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include "FuzzImage.h"
#include "platform/ByteReader.h"
#include "platform/EwfImage.h"
#include "platform/EwfLayout.h"
#include "platform/RawDevice.h"

namespace {
// Bytes of the disk read per input, so that a header claiming a huge disk stays cheap.
constexpr uint64_t kReadBudget = 4u << 20;

void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Sets the checksums of the section chain right, as far as it can be followed.
void RepairChecksums(std::vector<uint8_t>& file) {
  using namespace ewflayout;
  const std::span<const uint8_t> all(file);
  uint64_t at = kFileHeaderSize;
  for (int n = 0; n < 4096 && at <= file.size() && file.size() - at >= kSectionDescriptorSize; ++n) {
    uint8_t* d = file.data() + at;
    PutLE32(d + kSectionChecksum, Adler32(all.subspan(at, kSectionChecksum)));
    const auto section = ParseSectionDescriptor(all.subspan(at, kSectionDescriptorSize));
    const uint64_t dataAt = at + kSectionDescriptorSize;
    const uint64_t end = std::min<uint64_t>(section->nNext > at ? section->nNext : file.size(), file.size());
    const uint64_t dataBytes = end > dataAt ? end - dataAt : 0;
    uint8_t* data = file.data() + dataAt;
    const std::string& type = section->strType;
    if ((type == "volume" || type == "disk" || type == "data") &&
        (dataBytes == kMediaShortSize || dataBytes >= kMediaLongSize)) {
      const size_t checksumAt = dataBytes == kMediaShortSize ? kMediaShortChecksum : kMediaLongChecksum;
      PutLE32(data + checksumAt, Adler32(all.subspan(dataAt, checksumAt)));
    } else if ((type == "table" || type == "table2") && dataBytes >= kTableHeaderSize) {
      PutLE32(data + kTableHeaderChecksum, Adler32(all.subspan(dataAt, kTableHeaderChecksum)));
      const uint64_t entryBytes = uint64_t(bytes::RawLE32(data + kTableEntryCount)) * kTableEntrySize;
      if (entryBytes + kTableHeaderSize + kChunkChecksumSize <= dataBytes)
        PutLE32(data + kTableHeaderSize + entryBytes, Adler32(all.subspan(dataAt + kTableHeaderSize, entryBytes)));
    }
    if (type == "next" || type == "done" || section->nNext <= at) break;
    at = section->nNext;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  if (size % 2 == 1) RepairChecksums(file);
  const int fd = MemoryFile(file.data(), file.size());
  if (fd < 0) return 0;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::shared_ptr<CRawDevice> disk;
  std::string error;
  const ewf::Opening opening = ewf::OpenImage(path, &disk, &error);
  if (opening != ewf::Opening::Opened) {
    if (disk) std::abort();
    if ((opening == ewf::Opening::Refused || opening == ewf::Opening::Unsupported) && error.empty()) std::abort();
    ::close(fd);
    return 0;
  }
  if (!disk) std::abort();
  // A chunk reads the same from the cache and inflated again, and fails alike both ways.
  ExerciseDisk(*disk, size, kReadBudget, true);
  disk.reset();
  ::close(fd);
  return 0;
}
