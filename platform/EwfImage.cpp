// Format notes: EWF version 1 (E01).
//
// An image is a chain of segment files, NAME.E01, NAME.E02, ..., each starting with a 13-byte
// header (signature, segment number) followed by a chain of sections. Every section starts
// with a 76-byte descriptor: its type, the offset of the next descriptor and its own size,
// under an Adler-32. The sections that matter here:
//
//   volume, disk  (first segment) the media values: chunk count, sectors per chunk, bytes per
//                 sector, sector count; "data" repeats them in later segments
//   sectors       the stored chunks, back to back
//   table         one 4-byte entry per chunk of the preceding sectors section: its offset in
//                 the file (less the table's base offset) and, in bit 31, whether it is
//                 zlib-compressed; then an Adler-32 of the entries
//   table2        a copy of the table, read when the table is damaged
//   next, done    the end of a segment; "done" ends the last one
//
// The original format (94-byte media values, SMART) and EnCase 1 have no sectors section: the
// chunks follow the entries inside the table section itself, and the original format's tables
// carry no checksum of their entries. Headers, hashes, error lists and unknown sections are
// stepped over.
//
// A chunk's stored bytes run from its entry's offset to the next entry's, or for a table's last
// chunk to the end of the area holding the chunks. A compressed chunk is a zlib stream, whose
// Adler-32 libdeflate checks; a stored chunk is followed by the Adler-32 of its bytes.
//
// Decisions:
// - The whole chain of every segment is walked at opening, every descriptor's checksum and every
//   table's checksums are verified, and the segments are checked to be numbered 1, 2, ... in
//   name order and to describe the same image. A damaged or incomplete image is refused with
//   what is wrong and where; it is never handed to another reader.
// - A variant not understood (media values of another size, chunks over 16 MiB, a sector count
//   that disagrees with the chunk count, table offsets that go back) answers Unsupported and is
//   left to libewf.
// - A chunk whose entry points outside its area, that does not inflate to exactly its size or
//   fails its checksum reads as unreadable (EIO), as a bad sector does; the rest of the image
//   reads as usual.
// - Memory: the chunk entries as the tables store them (4 bytes per chunk, what the files
//   hold), a cache of decoded chunks of about 4 MiB (at least 4 chunks), the read-ahead's
//   staging buffers (4 of at most 512 KiB, or one chunk), and one read buffer per thread.
// - Speed: see CEwfDevice below; bench/README.md has the figures.
#include "platform/EwfImage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <climits>
#include <mutex>
#include <sys/stat.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <libdeflate.h>

#include "platform/ByteReader.h"
#include "platform/Checked.h"
#include "platform/EwfLayout.h"
#include "platform/ImageContainers.h"
#include "platform/RawDevice.h"

namespace ewflayout {

uint32_t Adler32(std::span<const uint8_t> bytes) {
  return libdeflate_adler32(1, bytes.data(), bytes.size());
}

std::optional<SectionDescriptor> ParseSectionDescriptor(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSectionDescriptorSize) return std::nullopt;
  SectionDescriptor d;
  const uint8_t* p = bytes.data();
  size_t typeLength = 0;
  while (typeLength < 16 && p[kSectionType + typeLength] != 0) ++typeLength;
  d.strType.assign(reinterpret_cast<const char*>(p + kSectionType), typeLength);
  d.nNext = bytes::RawLE64(p + kSectionNext);
  d.nSize = bytes::RawLE64(p + kSectionSize);
  d.nStoredChecksum = bytes::RawLE32(p + kSectionChecksum);
  d.nComputedChecksum = Adler32(bytes.first(kSectionChecksum));
  return d;
}

std::optional<uint16_t> ParseSegmentNumber(std::span<const uint8_t> bytes) {
  if (bytes.size() < kFileHeaderSize || std::memcmp(bytes.data() + kSignature, kSignatureBytes, 8) != 0 ||
      bytes[kFieldsStart] != 1)
    return std::nullopt;
  return bytes::RawLE16(bytes.data() + kSegmentNumber);
}

bool MediaValues::SameImage(const MediaValues& o) const {
  if (nChunkCount != o.nChunkCount || nSectorsPerChunk != o.nSectorsPerChunk ||
      nBytesPerSector != o.nBytesPerSector || nSectorCount != o.nSectorCount)
    return false;
  return bShortForm || o.bShortForm || std::memcmp(setIdentifier, o.setIdentifier, sizeof setIdentifier) == 0;
}

MediaParse ParseMediaValues(std::span<const uint8_t> data, MediaValues* values) {
  const bool shortForm = data.size() == kMediaShortSize;
  if (!shortForm && data.size() < kMediaLongSize) return MediaParse::UnknownSize;
  const size_t checksumAt = shortForm ? kMediaShortChecksum : kMediaLongChecksum;
  MediaValues v;
  const uint8_t* p = data.data();
  v.bShortForm = shortForm;
  v.nChunkCount = bytes::RawLE32(p + kMediaChunkCount);
  v.nSectorsPerChunk = bytes::RawLE32(p + kMediaSectorsPerChunk);
  v.nBytesPerSector = bytes::RawLE32(p + kMediaBytesPerSector);
  v.nSectorCount = shortForm ? bytes::RawLE32(p + kMediaSectorCount) : bytes::RawLE64(p + kMediaSectorCount);
  if (!shortForm) std::memcpy(v.setIdentifier, p + kMediaSetIdentifier, sizeof v.setIdentifier);
  *values = v;
  return bytes::RawLE32(p + checksumAt) == Adler32(data.first(checksumAt)) ? MediaParse::Ok : MediaParse::BadChecksum;
}

std::optional<TableHeader> ParseTableHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kTableHeaderSize) return std::nullopt;
  if (bytes::RawLE32(bytes.data() + kTableHeaderChecksum) != Adler32(bytes.first(kTableHeaderChecksum)))
    return std::nullopt;
  TableHeader h;
  h.nEntryCount = bytes::RawLE32(bytes.data() + kTableEntryCount);
  h.nBaseOffset = bytes::RawLE64(bytes.data() + kTableBaseOffset);
  return h;
}

}  // namespace ewflayout

namespace ewf {
namespace {

using namespace ewflayout;
using container::Hex;
using container::ThreadDecompressor;

// Chunks larger than this (EnCase's largest is 32,768 sectors of 512 bytes) are left to libewf.
constexpr uint64_t kMaxChunkBytes = 16u << 20;
// Decoded chunks kept; the read-ahead fills at most half of them.
constexpr size_t kCacheBytes = 4u << 20;
constexpr size_t kMinCacheSlots = 4;
// The read-ahead reads the stored bytes of up to this many neighbouring chunks in one read.
constexpr size_t kBatchBytes = 512u << 10;
constexpr size_t kBatchChunks = 16;
// Segment files held open at once; the others are opened again when read.
constexpr size_t kMaxOpenSegments = 64;
constexpr uint64_t kNoChunk = UINT64_MAX;

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The segment files of an image. Reads open a file when it is not open, closing the one
// least recently used beyond kMaxOpenSegments (a large disk's image has thousands).
class CSegmentFiles {
 public:
  ~CSegmentFiles() {
    for (File& f : m_files)
      if (f.fd >= 0) ::close(f.fd);
  }
  // Adds a segment file; false with a reason when it cannot be opened or is no regular file.
  bool Add(const std::string& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *why = std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      *why = S_ISREG(st.st_mode) ? std::strerror(errno) : "not a regular file";
      ::close(fd);
      return false;
    }
    std::lock_guard lock(m_mutex);
    m_files.push_back(File{path, static_cast<uint64_t>(st.st_size), fd, 0, ++m_nClock});
    ++m_nOpen;
    CloseSurplus();
    return true;
  }
  size_t Count() const { return m_files.size(); }
  uint64_t Size(size_t i) const { return m_files[i].nSize; }
  const std::string& Path(size_t i) const { return m_files[i].strPath; }
  std::string Name(size_t i) const { return BaseName(m_files[i].strPath); }

  // Reads exactly len bytes at offset of segment i. False with errno set on a failed read or
  // open, errno 0 for a range past the end of the file.
  bool Read(size_t i, uint64_t offset, void* buffer, size_t len) {
    struct iovec one {buffer, len};
    return ReadV(i, offset, &one, 1);
  }
  // The same into the pieces iov[0], iov[1], ... in turn (their iov_base and iov_len change).
  bool ReadV(size_t i, uint64_t offset, struct iovec* iov, int count) {
    uint64_t len = 0;
    for (int k = 0; k < count; ++k) len += iov[k].iov_len;
    if (offset > m_files[i].nSize || len > m_files[i].nSize - offset) {
      errno = 0;
      return false;
    }
    int fd;
    {
      std::lock_guard lock(m_mutex);
      File& f = m_files[i];
      if (f.fd < 0) {
        f.fd = ::open(f.strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (f.fd < 0) return false;
        ++m_nOpen;
      }
      ++f.nUsers;
      f.nLastUse = ++m_nClock;
      fd = f.fd;
      CloseSurplus();
    }
    bool ok = true;
    while (count > 0) {
      ssize_t n = ::preadv(fd, iov, std::min(count, IOV_MAX), static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;  // the file got shorter than at opening
        ok = false;
        break;
      }
      offset += static_cast<uint64_t>(n);
      for (size_t got = static_cast<size_t>(n); count > 0 && (got > 0 || iov->iov_len == 0);) {
        const size_t take = std::min(got, iov->iov_len);
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + take;
        iov->iov_len -= take;
        got -= take;
        if (iov->iov_len == 0) {
          ++iov;
          --count;
        }
      }
    }
    const int err = errno;
    {
      std::lock_guard lock(m_mutex);
      --m_files[i].nUsers;
    }
    errno = err;
    return ok;
  }

 private:
  struct File {
    std::string strPath;
    uint64_t nSize;
    int fd;
    uint32_t nUsers;
    uint64_t nLastUse;
  };
  // Closes unused files, the least recently used first, while more than the limit are open
  // (m_mutex held).
  void CloseSurplus() {
    while (m_nOpen > kMaxOpenSegments) {
      File* oldest = nullptr;
      for (File& f : m_files)
        if (f.fd >= 0 && f.nUsers == 0 && (!oldest || f.nLastUse < oldest->nLastUse)) oldest = &f;
      if (!oldest) return;
      ::close(oldest->fd);
      oldest->fd = -1;
      --m_nOpen;
    }
  }
  std::mutex m_mutex;
  std::vector<File> m_files;
  size_t m_nOpen = 0;
  uint64_t m_nClock = 0;
};

// One table of chunk entries as the image uses it.
struct Table {
  uint32_t nSegment = 0;
  uint64_t nFirstChunk = 0;  // the image's chunk number of its first entry
  uint32_t nCount = 0;
  uint64_t nBase = 0;        // added to each entry's offset
  uint64_t nAreaStart = 0;   // where its chunks' stored bytes lie in the segment file
  uint64_t nAreaEnd = 0;
};

// What the segments say, gathered at opening.
struct ImageLayout {
  MediaValues media;
  uint64_t nChunkBytes = 0;
  uint64_t nMediaBytes = 0;
  std::vector<Table> tables;
  std::vector<uint32_t> entries;  // one per chunk, as stored
};

// Where a chunk's stored bytes lie.
struct ChunkPlace {
  uint32_t nSegment = 0;
  uint64_t nOffset = 0;
  uint64_t nStoredBytes = 0;
  bool bCompressed = false;
  bool bValid = false;  // false: its entry points outside its area (the chunk is unreadable)
};

enum class ChunkRead { Ok, Corrupt, IoError };

// The disk of an image. Chunks are decoded into a cache of slots. A reader that continues its
// previous read (or reads several chunks at once) sets the read-ahead thread going, with a
// lead that grows with the run of continuing reads. It reads the stored bytes of runs of
// neighbouring chunks with one read each (a stored chunk straight into its slot, a compressed
// one into a staging buffer) and decodes them, the last first. A reader that reaches a chunk
// read but not yet decoded decodes it itself, and one that would wait for a chunk decodes
// another of the run meanwhile: the file is read once, both threads decode, and they meet in
// the middle of a run rather than queue for the same chunk. A chunk not in the cache is read
// and decoded by the reader itself.
//
// Thread safety: reads from several threads are allowed (CRawDevice); m_mutex guards the cache
// and the read-ahead's state, and no file read or decoding happens under it. The read-ahead
// thread starts at the first sequential read and stops when the device goes.
class CEwfDevice final : public CRawDevice {
 public:
  CEwfDevice(const std::string& path, std::unique_ptr<CSegmentFiles> files, ImageLayout layout)
      : CRawDevice(path, layout.nMediaBytes), m_files(std::move(files)), m_layout(std::move(layout)) {
    const uint32_t bps = m_layout.media.nBytesPerSector;
    if (bps == 512 || bps == 1024 || bps == 2048 || bps == 4096) m_nSectorSize = bps;
    m_nChunkBytes = m_layout.nChunkBytes;
    m_nChunkCount = m_layout.media.nChunkCount;
    m_slots.resize(std::max<size_t>(kMinCacheSlots, kCacheBytes / m_nChunkBytes));
    m_nAheadChunks = m_slots.size() / 2;
    // Each chunk is decoded whole however little of it is read: the window takes one chunk at
    // a time, so scattered reads (folders, small files) decode only the chunks they touch.
    SetWindowBytes(std::clamp<size_t>(m_nChunkBytes, 32u << 10, kDefaultWindowBytes));
    m_bReadsAhead = true;
  }
  ~CEwfDevice() override {
    {
      std::lock_guard lock(m_mutex);
      m_bStop = true;
    }
    m_aheadCv.notify_all();
    if (m_aheadThread.joinable()) m_aheadThread.join();
  }
  const char* ContainerName() const override { return "EWF"; }
  bool TakesReadHints() const override { return true; }
  // The chunks of the ranges are queued for the read-ahead thread, which reads and decodes them
  // when it has no sequential run to serve. The queue holds at most half the cache: hints past
  // that are dropped (the reader decodes those chunks itself), so chunks decoded ahead are
  // not pushed out of the cache before they are read.
  void WillRead(const ByteRange* ranges, size_t count) override {
    bool wake;
    {
      std::lock_guard lock(m_mutex);
      if (m_bStop || m_bHintFailed) return;
      const size_t most = std::max<size_t>(1, m_slots.size() / 2);
      for (size_t i = 0; i < count && m_wanted.size() < most; ++i) {
        const ByteRange& r = ranges[i];
        if (r.nLength == 0 || r.nOffset >= m_nSize) continue;
        const uint64_t last = (r.nOffset + std::min(r.nLength, m_nSize - r.nOffset) - 1) / m_nChunkBytes;
        for (uint64_t c = r.nOffset / m_nChunkBytes; c <= last && m_wanted.size() < most; ++c)
          if (!m_slotOf.count(c) && (m_wanted.empty() || m_wanted.back() != c)) m_wanted.push_back(c);
      }
      if (m_wanted.empty()) return;
      if (!m_aheadThread.joinable()) m_aheadThread = std::thread([this] { ReadAheadLoop(); });
      wake = m_bAheadIdle;
    }
    if (wake) m_aheadCv.notify_one();
  }

 protected:
  // Fails, leaving part of buffer written, when the range runs past the disk (errno 0), a chunk
  // it touches fails its check (EIO) or a segment file cannot be read (that read's errno).
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_nSize || len > m_nSize - offset) {
      errno = 0;
      return false;
    }
    if (len == 0) return true;
    NoteRead(offset / m_nChunkBytes, (offset + len - 1) / m_nChunkBytes);
    auto* out = static_cast<uint8_t*>(buffer);
    while (len > 0) {
      const uint64_t chunk = offset / m_nChunkBytes, in = offset % m_nChunkBytes;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(len, ChunkLength(chunk) - in));
      if (int err = CopyFromChunk(chunk, static_cast<size_t>(in), out, n); err != 0) {
        errno = err;
        return false;
      }
      out += n;
      offset += n;
      len -= n;
    }
    return true;
  }

 private:
  enum class SlotState : uint8_t {
    Empty,
    Reading,  // the read-ahead is reading its stored bytes
    Staged,   // its stored bytes are read, not yet decoded: any thread may decode it
    Filling,  // being read or decoded by one thread
    Ready,
    Failed,   // does not inflate or fails its checksum
  };
  static constexpr size_t kNoStaging = SIZE_MAX;
  struct Slot {
    uint64_t nChunk = kNoChunk;
    SlotState state = SlotState::Empty;
    uint64_t nLastUse = 0;
    std::unique_ptr<uint8_t[]> data;
    // While Reading or Staged: where its stored bytes go. A compressed chunk's lie in staging
    // buffer nStaging; a stored chunk's bytes are read into data and their checksum here.
    ChunkPlace place;
    size_t nStaging = kNoStaging;
    const uint8_t* pStaged = nullptr;
    uint8_t checksum[kChunkChecksumSize] = {};
  };
  // The read-ahead's buffers for compressed chunks' stored bytes, reused when every chunk
  // read into one is decoded.
  static constexpr size_t kStagingBuffers = 4;
  struct Staging {
    std::vector<uint8_t> bytes;
    uint32_t nPending = 0;  // chunks read into it and not yet decoded
  };

  uint64_t ChunkLength(uint64_t chunk) const {
    return chunk + 1 < m_nChunkCount ? m_nChunkBytes : m_nSize - chunk * m_nChunkBytes;
  }

  ChunkPlace Place(uint64_t chunk) const {
    ChunkPlace p;
    const auto& tables = m_layout.tables;
    auto it = std::upper_bound(tables.begin(), tables.end(), chunk,
                               [](uint64_t c, const Table& t) { return c < t.nFirstChunk; });
    if (it == tables.begin()) return p;
    const Table& t = *--it;
    const uint64_t i = chunk - t.nFirstChunk;
    if (i >= t.nCount) return p;
    const uint32_t entry = m_layout.entries[chunk];
    auto start = checked::Add<uint64_t>(t.nBase, entry & kEntryOffsetMask);
    std::optional<uint64_t> end = t.nAreaEnd;
    if (i + 1 < t.nCount) end = checked::Add<uint64_t>(t.nBase, m_layout.entries[chunk + 1] & kEntryOffsetMask);
    if (!start || !end || *start < t.nAreaStart || *end <= *start || *end > t.nAreaEnd) return p;
    p.nSegment = t.nSegment;
    p.nOffset = *start;
    p.nStoredBytes = *end - *start;
    p.bCompressed = (entry & kEntryCompressed) != 0;
    // A stored chunk is its bytes and their checksum; a zlib stream of a chunk is hardly
    // longer than the chunk (a writer stores a chunk that does not shrink as it is). Longer
    // ones are damage, and are not read into memory.
    const uint64_t length = ChunkLength(chunk);
    p.bValid = p.bCompressed ? p.nStoredBytes <= length + length / 8 + 1024 : p.nStoredBytes >= length + kChunkChecksumSize;
    if (!p.bCompressed && p.bValid) p.nStoredBytes = length + kChunkChecksumSize;
    return p;
  }

  // Inflates a compressed chunk's stored bytes into out (ChunkLength bytes).
  ChunkRead Inflate(uint64_t chunk, const ChunkPlace& place, const uint8_t* stored, uint8_t* out) const {
    libdeflate_decompressor* d = ThreadDecompressor();
    if (!d) return ChunkRead::IoError;
    // Without an actual-size argument libdeflate accepts only a stream of exactly the chunk's
    // length, and it checks the stream's Adler-32.
    return libdeflate_zlib_decompress(d, stored, static_cast<size_t>(place.nStoredBytes), out,
                                      static_cast<size_t>(ChunkLength(chunk)), nullptr) == LIBDEFLATE_SUCCESS
               ? ChunkRead::Ok
               : ChunkRead::Corrupt;
  }
  // Checks a stored chunk's bytes (at data) against its checksum.
  ChunkRead Check(uint64_t chunk, const uint8_t* data, const uint8_t* checksum) const {
    const size_t length = static_cast<size_t>(ChunkLength(chunk));
    return libdeflate_adler32(1, data, length) == bytes::RawLE32(checksum) ? ChunkRead::Ok : ChunkRead::Corrupt;
  }

  // Reads and decodes one chunk into out on this thread alone.
  ChunkRead Load(uint64_t chunk, uint8_t* out, int* err) {
    const ChunkPlace place = Place(chunk);
    if (!place.bValid) return ChunkRead::Corrupt;
    thread_local std::vector<uint8_t> stored;
    bool read;
    if (place.bCompressed) {
      if (stored.size() < place.nStoredBytes) stored.resize(static_cast<size_t>(place.nStoredBytes));
      read = m_files->Read(place.nSegment, place.nOffset, stored.data(), static_cast<size_t>(place.nStoredBytes));
    } else {
      uint8_t checksum[kChunkChecksumSize];
      struct iovec iov[2] = {{out, static_cast<size_t>(ChunkLength(chunk))}, {checksum, sizeof checksum}};
      read = m_files->ReadV(place.nSegment, place.nOffset, iov, 2);
      if (read) return Check(chunk, out, checksum);
    }
    if (!read) {
      *err = errno ? errno : EIO;
      return ChunkRead::IoError;
    }
    return Inflate(chunk, place, stored.data(), out);
  }

  void Wait(std::unique_lock<std::mutex>& lock) {
    ++m_nWaiters;
    m_filledCv.wait(lock);
    --m_nWaiters;
  }

  // Copies n bytes at in of chunk to out; answers 0, or the errno of the failure.
  int CopyFromChunk(uint64_t chunk, size_t in, uint8_t* out, size_t n) {
    std::unique_lock lock(m_mutex);
    for (;;) {
      auto it = m_slotOf.find(chunk);
      if (it == m_slotOf.end()) break;
      const size_t slot = it->second;
      Slot& s = m_slots[slot];
      switch (s.state) {
        case SlotState::Ready:
          s.nLastUse = ++m_nClock;
          std::memcpy(out, s.data.get() + in, n);
          return 0;
        case SlotState::Failed:
          s.nLastUse = ++m_nClock;
          return EIO;
        case SlotState::Staged:
          // Read by the read-ahead, not decoded yet: decode it here rather than wait.
          DecodeStaged(lock, slot);
          break;
        case SlotState::Empty:
        case SlotState::Reading:
        case SlotState::Filling:
          // Another thread is at it: decode one of the chunks read after it meanwhile, or wait.
          if (!DecodeOneStaged(lock, chunk + 1, chunk + 1 + kBatchChunks)) Wait(lock);
          break;
      }
    }
    // Not in the cache: load it here.
    const size_t slot = Claim(chunk, false);
    lock.unlock();
    int err = 0;
    if (slot == SIZE_MAX) {
      // Every slot is busy: load it into a buffer of this thread's.
      thread_local std::vector<uint8_t> scratch;
      if (scratch.size() < m_nChunkBytes) scratch.resize(m_nChunkBytes);
      ChunkRead r = Load(chunk, scratch.data(), &err);
      if (r == ChunkRead::Ok) std::memcpy(out, scratch.data() + in, n);
      return r == ChunkRead::Ok ? 0 : r == ChunkRead::Corrupt ? EIO : err;
    }
    Slot& s = m_slots[slot];
    ChunkRead r = Load(chunk, s.data.get(), &err);
    lock.lock();
    Publish(slot, r);
    if (r == ChunkRead::Ok) std::memcpy(out, s.data.get() + in, n);
    return r == ChunkRead::Ok ? 0 : r == ChunkRead::Corrupt ? EIO : err;
  }

  // Decodes a Staged slot on this thread (m_mutex held by lock, released meanwhile).
  void DecodeStaged(std::unique_lock<std::mutex>& lock, size_t slot) {
    Slot& s = m_slots[slot];
    s.state = SlotState::Filling;
    s.nLastUse = ++m_nClock;
    lock.unlock();
    const ChunkRead r = s.place.bCompressed ? Inflate(s.nChunk, s.place, s.pStaged, s.data.get())
                                            : Check(s.nChunk, s.data.get(), s.checksum);
    lock.lock();
    Publish(slot, r);
  }

  // Decodes the first Staged chunk of [from, to); false when there is none (m_mutex held).
  bool DecodeOneStaged(std::unique_lock<std::mutex>& lock, uint64_t from, uint64_t to) {
    for (uint64_t c = from; c < to; ++c) {
      auto it = m_slotOf.find(c);
      if (it != m_slotOf.end() && m_slots[it->second].state == SlotState::Staged) {
        DecodeStaged(lock, it->second);
        return true;
      }
    }
    return false;
  }

  // Takes the least recently used idle slot for chunk, Filling (m_mutex held); SIZE_MAX when
  // every slot is busy. The read-ahead does not take the chunks it filled for the reader that
  // the reader has not reached yet.
  size_t Claim(uint64_t chunk, bool forReadAhead) {
    size_t best = SIZE_MAX;
    for (size_t i = 0; i < m_slots.size(); ++i) {
      const Slot& s = m_slots[i];
      if (s.state != SlotState::Empty && s.state != SlotState::Ready && s.state != SlotState::Failed) continue;
      if (forReadAhead && s.nChunk != kNoChunk && s.nChunk >= m_nReaderChunk && s.nChunk < m_nAheadEnd) continue;
      if (best == SIZE_MAX || s.nLastUse < m_slots[best].nLastUse) best = i;
    }
    if (best == SIZE_MAX) return SIZE_MAX;
    Slot& s = m_slots[best];
    if (!s.data) s.data.reset(new (std::nothrow) uint8_t[m_nChunkBytes]);
    if (!s.data) return SIZE_MAX;
    if (s.nChunk != kNoChunk) m_slotOf.erase(s.nChunk);
    s.nChunk = chunk;
    s.state = SlotState::Filling;
    s.nLastUse = ++m_nClock;
    m_slotOf[chunk] = best;
    return best;
  }

  // Ends the filling of a slot (m_mutex held). A read error is not kept: the next read tries
  // the file again (the bad-sector policy retries).
  void Publish(size_t slot, ChunkRead r) {
    Slot& s = m_slots[slot];
    if (r == ChunkRead::IoError) {
      m_slotOf.erase(s.nChunk);
      s.nChunk = kNoChunk;
      s.state = SlotState::Empty;
    } else {
      s.state = r == ChunkRead::Ok ? SlotState::Ready : SlotState::Failed;
    }
    if (s.nStaging != kNoStaging && --m_staging[s.nStaging].nPending == 0 && m_bAheadIdle) m_aheadCv.notify_one();
    s.nStaging = kNoStaging;
    s.pStaged = nullptr;
    if (m_nWaiters > 0) m_filledCv.notify_all();
  }

  // Follows this thread's reads of the device: a read that continues the previous one (twice
  // in a row) or spans several chunks sets the read-ahead going.
  void NoteRead(uint64_t first, uint64_t last) {
    struct Track {
      const CEwfDevice* device = nullptr;
      uint64_t nNext = 0;
      uint32_t nStreak = 0;
    };
    thread_local Track t;
    const bool continues = t.device == this && (first == t.nNext || first + 1 == t.nNext);
    t.nStreak = continues ? t.nStreak + 1 : 0;
    t.device = this;
    t.nNext = last + 1;
    // The lead grows with the run of reads that continue each other, as the kernel's read-ahead
    // does: a folder walk that touches a few neighbouring chunks costs few chunks decoded for
    // nothing, a scan soon gets the whole lead.
    if (t.nStreak >= 2)
      RequestAhead(first, last + 1 + std::min<uint64_t>(m_nAheadChunks, t.nStreak));
    else if (last > first)
      RequestAhead(first, last + 1);
  }

  void RequestAhead(uint64_t readerChunk, uint64_t end) {
    end = std::min(end, m_nChunkCount);
    bool wake;
    {
      std::lock_guard lock(m_mutex);
      if (m_bStop) return;
      m_nReaderChunk = readerChunk;
      const uint64_t from = readerChunk + 1;
      if (m_nAheadNext < from || m_nAheadNext > end) m_nAheadNext = from;
      m_nAheadEnd = end;
      if (m_nAheadNext >= m_nAheadEnd) return;
      if (!m_aheadThread.joinable()) m_aheadThread = std::thread([this] { ReadAheadLoop(); });
      // Woken when its lead has shrunk to half, so that it works in long runs rather than
      // one chunk per read.
      wake = m_bAheadIdle && m_nAheadNext - from < std::max<uint64_t>(1, (end - from) / 2);
    }
    if (wake) m_aheadCv.notify_one();
  }

  // Reads the next run of chunks [m_nAheadNext, m_nAheadEnd) not in the cache into their slots
  // and staging buffer number staging; false when there is none or no idle slot (m_mutex
  // held by lock, released while reading).
  bool ReadRun(std::unique_lock<std::mutex>& lock, size_t staging) {
    while (m_nAheadNext < m_nAheadEnd && m_slotOf.count(m_nAheadNext)) ++m_nAheadNext;
    m_run.clear();
    uint64_t stagedBytes = 0, runBytes = 0;
    for (uint64_t c = m_nAheadNext; c < m_nAheadEnd && m_run.size() < kBatchChunks && !m_slotOf.count(c); ++c) {
      const ChunkPlace place = Place(c);
      if (!m_run.empty()) {
        const ChunkPlace& prev = m_slots[m_run.back()].place;
        if (!place.bValid || !prev.bValid || place.nSegment != prev.nSegment ||
            place.nOffset != prev.nOffset + prev.nStoredBytes || runBytes + place.nStoredBytes > kBatchBytes)
          break;
      }
      const size_t slot = Claim(c, true);
      if (slot == SIZE_MAX) break;
      Slot& s = m_slots[slot];
      s.state = SlotState::Reading;
      s.place = place;
      m_run.push_back(slot);
      if (place.bValid) {
        runBytes += place.nStoredBytes;
        if (place.bCompressed) stagedBytes += place.nStoredBytes;
      }
    }
    if (m_run.empty()) return false;
    m_nAheadNext = m_slots[m_run.back()].nChunk + 1;
    std::vector<uint8_t>& buffer = m_staging[staging].bytes;
    lock.unlock();
    // One read of the run: a stored chunk's bytes into its slot and its checksum beside, a
    // compressed chunk's into the staging buffer.
    if (buffer.size() < stagedBytes) buffer.resize(static_cast<size_t>(stagedBytes));
    m_pieces.clear();
    uint64_t at = 0;
    for (size_t slot : m_run) {
      Slot& s = m_slots[slot];
      if (!s.place.bValid) break;
      if (s.place.bCompressed) {
        s.pStaged = buffer.data() + at;
        m_pieces.push_back({buffer.data() + at, static_cast<size_t>(s.place.nStoredBytes)});
        at += s.place.nStoredBytes;
      } else {
        m_pieces.push_back({s.data.get(), static_cast<size_t>(ChunkLength(s.nChunk))});
        m_pieces.push_back({s.checksum, kChunkChecksumSize});
      }
    }
    const ChunkPlace& head = m_slots[m_run.front()].place;
    const bool read =
        head.bValid && m_files->ReadV(head.nSegment, head.nOffset, m_pieces.data(), static_cast<int>(m_pieces.size()));
    lock.lock();
    for (size_t slot : m_run) {
      Slot& s = m_slots[slot];
      if (!s.place.bValid) {
        Publish(slot, ChunkRead::Corrupt);
      } else if (!read) {
        Publish(slot, ChunkRead::IoError);
      } else {
        s.state = SlotState::Staged;
        if (s.place.bCompressed) {
          s.nStaging = staging;
          ++m_staging[staging].nPending;
        }
        m_staged.push_back(slot);
      }
    }
    if (m_nWaiters > 0) m_filledCv.notify_all();
    return true;
  }

  // Reads and decodes the next chunk a reader said it will read, unless it is in the cache
  // already (m_mutex held by lock, released meanwhile). A failed read ends the hints: a source
  // with a bad area is read only as asked.
  void LoadWanted(std::unique_lock<std::mutex>& lock) {
    const uint64_t chunk = m_wanted.front();
    m_wanted.pop_front();
    if (m_slotOf.count(chunk)) return;
    const size_t slot = Claim(chunk, true);
    if (slot == SIZE_MAX) return;
    lock.unlock();
    int err = 0;
    const ChunkRead r = Load(chunk, m_slots[slot].data.get(), &err);
    lock.lock();
    if (r == ChunkRead::IoError) {
      m_bHintFailed = true;
      m_wanted.clear();
    }
    Publish(slot, r);
  }

  // The read-ahead thread: keeps the chunks up to m_nAheadEnd read ahead of the reader while a
  // staging buffer is free, and decodes the chunks read, the last first: the reader decodes
  // from the front the ones it reaches before they are done, so the two meet in the middle
  // instead of queueing for the same chunk.
  void ReadAheadLoop() {
    std::unique_lock lock(m_mutex);
    while (!m_bStop) {
      while (!m_staged.empty() && m_slots[m_staged.back()].state != SlotState::Staged) m_staged.pop_back();
      size_t free = kNoStaging;
      for (size_t i = 0; i < kStagingBuffers && free == kNoStaging; ++i)
        if (m_staging[i].nPending == 0) free = i;
      // A short run (the lead grew by a chunk or two) waits while there is decoding to do.
      const uint64_t ahead = m_nAheadEnd > m_nAheadNext ? m_nAheadEnd - m_nAheadNext : 0;
      if (free != kNoStaging && (ahead >= kBatchChunks / 2 || m_staged.empty()) && ReadRun(lock, free)) continue;
      if (!m_staged.empty()) {
        const size_t slot = m_staged.back();
        m_staged.pop_back();
        DecodeStaged(lock, slot);
        continue;
      }
      if (!m_wanted.empty()) {
        LoadWanted(lock);
        continue;
      }
      // Nothing to read or decode: wait for the reader to ask, or for a buffer to be freed.
      m_bAheadIdle = true;
      m_aheadCv.wait(lock);
      m_bAheadIdle = false;
    }
  }

  std::unique_ptr<CSegmentFiles> m_files;
  const ImageLayout m_layout;
  uint64_t m_nChunkBytes = 0;
  uint64_t m_nChunkCount = 0;
  size_t m_nAheadChunks = 0;

  std::mutex m_mutex;  // guards everything below
  std::condition_variable m_filledCv;  // a slot finished filling (or its stored bytes were read)
  std::condition_variable m_aheadCv;   // work for the read-ahead, or the end
  std::vector<Slot> m_slots;
  std::unordered_map<uint64_t, size_t> m_slotOf;
  uint64_t m_nClock = 0;
  uint32_t m_nWaiters = 0;  // threads waiting on m_filledCv
  uint64_t m_nReaderChunk = 0;
  uint64_t m_nAheadNext = 0;
  uint64_t m_nAheadEnd = 0;
  bool m_bAheadIdle = false;
  bool m_bStop = false;
  Staging m_staging[kStagingBuffers];
  std::deque<size_t> m_staged;  // slots read by the read-ahead, in chunk order (some decoded since)
  std::deque<uint64_t> m_wanted;  // chunks a reader will read (WillRead), in the order it will
  bool m_bHintFailed = false;     // reading a hinted chunk failed: no more hints are taken
  // The read-ahead thread's own: the run being read and the pieces of its read.
  std::vector<size_t> m_run;
  std::vector<struct iovec> m_pieces;
  std::thread m_aheadThread;
};

// --- Opening: the segments, their section chains and tables ---------------------------------

class COpener {
 public:
  COpener(const std::string& path, std::string* error) : m_strPath(path), m_error(error) {}

  Opening Open(std::shared_ptr<CRawDevice>* device) {
    m_files = std::make_unique<CSegmentFiles>();
    std::string why;
    if (!m_files->Add(m_strPath, &why)) return Refuse(fmt::format("cannot be opened: {}", why));
    for (uint32_t number = 1;; ++number) {
      const size_t segment = number - 1;
      bool last = false;
      if (Opening o = ReadSegment(segment, number, &last); o != Opening::Opened) return o;
      if (last) break;
      std::string next = SegmentName(m_strPath, number + 1);
      if (next.empty())
        return Refuse(fmt::format("the EWF image is incomplete: it continues in segment {}, whose name cannot be "
                                  "told because {} is not named as a first segment (NAME.E01)",
                                  number + 1, BaseName(m_strPath)));
      struct stat st {};
      if (::stat(next.c_str(), &st) != 0 && errno == ENOENT)
        return Refuse(fmt::format("the EWF image is incomplete: a segment file is missing: segment {} ({}) is not "
                                  "there",
                                  number + 1, BaseName(next)));
      if (!m_files->Add(next, &why))
        return Refuse(fmt::format("segment {} of the EWF image ({}) cannot be opened: {}", number + 1,
                                  BaseName(next), why));
    }
    if (!m_bHaveMedia)
      return Refuse(fmt::format("the EWF image is damaged: {} has no volume section (the size of the disk is not "
                                "known)",
                                m_files->Name(0)));
    if (m_layout.entries.size() != m_layout.media.nChunkCount)
      return Refuse(fmt::format("the EWF image is damaged: its chunk tables list {} chunks where its volume section "
                                "counts {}",
                                m_layout.entries.size(), m_layout.media.nChunkCount));
    *device = std::make_shared<CEwfDevice>(m_strPath, std::move(m_files), std::move(m_layout));
    return Opening::Opened;
  }

 private:
  // A table read from the chain, waiting to learn whether a table2 follows.
  struct Pending {
    bool bActive = false;
    bool bOk = false;
    uint64_t nAt = 0;  // offset of its descriptor
    std::string strWhy;
    bool bHaveArea = false;  // its chunks lie in the sectors section before it
    uint64_t nAreaStart = 0, nAreaEnd = 0;
    Table table;
  };

  Opening Refuse(const std::string& what) {
    *m_error = fmt::format("{}: {}", m_strPath, what);
    return Opening::Refused;
  }
  Opening Damaged(size_t segment, const std::string& what) {
    return Refuse(fmt::format("the EWF image is damaged: {} {}", m_files->Name(segment), what));
  }

  Opening ReadSegment(size_t segment, uint32_t number, bool* last) {
    const uint64_t size = m_files->Size(segment);
    const std::string name = m_files->Name(segment);
    uint8_t header[kFileHeaderSize];
    const bool haveHeader = m_files->Read(segment, 0, header, sizeof header);
    const std::optional<uint16_t> found = haveHeader ? ParseSegmentNumber(header) : std::nullopt;
    if (!found) {
      if (segment == 0) return Opening::NotEwf1;
      return Refuse(fmt::format("the EWF image is damaged: {}, where segment {} belongs, is not an EWF segment file",
                                name, number));
    }
    if (*found != number) {
      if (segment == 0)
        return Refuse(fmt::format("this is segment {} of an EWF image; open its first segment{}", *found,
                                  FirstSegmentHint(*found)));
      if (*found < number)
        return Refuse(fmt::format("the EWF image is damaged: {} holds segment {} again (a duplicate), where segment "
                                  "{} belongs",
                                  name, *found, number));
      return Refuse(fmt::format("the EWF image is damaged: {} holds segment {} where segment {} belongs (a segment "
                                "is missing or the files are out of order)",
                                name, *found, number));
    }

    Pending pending;
    bool haveArea = false;
    uint64_t areaStart = 0, areaEnd = 0;
    for (uint64_t at = kFileHeaderSize;;) {
      if (at > size || size - at < kSectionDescriptorSize)
        return Refuse(fmt::format("the EWF image is damaged: {} is truncated: it ends at byte {} without the section "
                                  "that ends a segment",
                                  name, size));
      uint8_t raw[kSectionDescriptorSize];
      if (!m_files->Read(segment, at, raw, sizeof raw))
        return Refuse(fmt::format("{} cannot be read: {}", name, std::strerror(errno ? errno : EIO)));
      const SectionDescriptor d = *ParseSectionDescriptor(raw);
      if (!d.ChecksumOk())
        return Damaged(segment, fmt::format("has a section descriptor with a bad checksum at byte {}: stored "
                                            "0x{:08x}, computed 0x{:08x}",
                                            Hex(at), d.nStoredChecksum, d.nComputedChecksum));
      if (d.strType == "next" || d.strType == "done") {
        if (Opening o = Commit(segment, pending); o != Opening::Opened) return o;
        *last = d.strType == "done";
        return Opening::Opened;
      }
      if (d.nNext > size)
        return Refuse(fmt::format("the EWF image is damaged: {} is truncated: its {} section at byte {} ends at "
                                  "byte {}, past the end of the file ({} bytes)",
                                  name, d.strType, at, d.nNext, size));
      if (d.nNext <= at || d.nNext - at < kSectionDescriptorSize)
        return Damaged(segment, fmt::format("has a {} section at byte {} whose next section lies at byte {}",
                                            d.strType, Hex(at), d.nNext));
      if (d.nSize != 0 && d.nSize != d.nNext - at)
        return Damaged(segment, fmt::format("has a {} section at byte {} of {} bytes whose next section lies {} "
                                            "bytes on",
                                            d.strType, Hex(at), d.nSize, d.nNext - at));
      const uint64_t dataAt = at + kSectionDescriptorSize, dataBytes = d.nNext - dataAt;
      if (d.strType != "table2") {
        if (Opening o = Commit(segment, pending); o != Opening::Opened) return o;
      }
      if (d.strType == "volume" || d.strType == "disk" || d.strType == "data") {
        if (Opening o = ReadMedia(segment, d.strType, at, dataAt, dataBytes); o != Opening::Opened) return o;
      } else if (d.strType == "sectors") {
        haveArea = true;
        areaStart = dataAt;
        areaEnd = d.nNext;
      } else if (d.strType == "table") {
        if (!m_bHaveMedia) return Damaged(segment, fmt::format("has a chunk table at byte {} before the volume "
                                                               "section",
                                                               Hex(at)));
        pending = Pending{};
        pending.bActive = true;
        pending.nAt = at;
        pending.bHaveArea = haveArea;
        pending.nAreaStart = areaStart;
        pending.nAreaEnd = areaEnd;
        pending.bOk = ReadTable(segment, dataAt, dataBytes, haveArea, areaStart, areaEnd, &pending.table,
                                &pending.strWhy);
        haveArea = false;  // the sectors section belongs to this table
      } else if (d.strType == "table2" && pending.bActive && !pending.bOk) {
        // The table is damaged: its copy is read in its place, over the same chunks.
        std::string why;
        if (ReadTable(segment, dataAt, dataBytes, pending.bHaveArea, pending.nAreaStart, pending.nAreaEnd,
                      &pending.table, &why)) {
          pending.bOk = true;
        } else {
          return Damaged(segment, fmt::format("has a chunk table at byte {} and its copy at byte {} both damaged "
                                              "({}; {})",
                                              Hex(pending.nAt), Hex(at), pending.strWhy, why));
        }
      }
      at = d.nNext;
    }
  }

  std::string FirstSegmentHint(uint32_t number) const {
    // NAME.E03 opened: its first segment is NAME.E01 when the name follows the scheme.
    size_t dot = m_strPath.rfind('.');
    if (dot == std::string::npos || m_strPath.find('/', dot) != std::string::npos) return "";
    std::string candidate = m_strPath.substr(0, dot + 1) + m_strPath.substr(dot + 1, 1) + "01";
    if (SegmentName(candidate, number) != m_strPath) return "";
    return ", " + BaseName(candidate);
  }

  Opening ReadMedia(size_t segment, const std::string& type, uint64_t at, uint64_t dataAt, uint64_t dataBytes) {
    if (dataBytes != kMediaShortSize && dataBytes < kMediaLongSize) return Unsupported(segment, type, at);
    uint8_t data[kMediaLongSize];
    const size_t want = dataBytes == kMediaShortSize ? kMediaShortSize : kMediaLongSize;
    if (!m_files->Read(segment, dataAt, data, want))
      return Refuse(fmt::format("{} cannot be read: {}", m_files->Name(segment), std::strerror(errno ? errno : EIO)));
    MediaValues v;
    switch (ParseMediaValues(std::span<const uint8_t>(data, want), &v)) {
      case MediaParse::UnknownSize: return Unsupported(segment, type, at);
      case MediaParse::BadChecksum:
        // Some writers leave the data section's checksum 0.
        if (type == "data" &&
            bytes::RawLE32(data + (want == kMediaShortSize ? kMediaShortChecksum : kMediaLongChecksum)) == 0)
          break;
        return Damaged(segment, fmt::format("has a {} section at byte {} with a bad checksum", type, Hex(at)));
      case MediaParse::Ok: break;
    }
    if (m_bHaveMedia) {
      if (!m_layout.media.SameImage(v))
        return Refuse(fmt::format("the EWF image is damaged: the {} section of {} describes another image than the "
                                  "volume section of {} (a segment of another image?)",
                                  type, m_files->Name(segment), m_files->Name(0)));
      return Opening::Opened;
    }
    if (v.nSectorsPerChunk == 0 || v.nBytesPerSector == 0)
      return Damaged(segment, fmt::format("has a {} section at byte {} with chunks of {} sectors of {} bytes", type,
                                          Hex(at), v.nSectorsPerChunk, v.nBytesPerSector));
    const auto chunkBytes = checked::Mul<uint64_t>(v.nSectorsPerChunk, v.nBytesPerSector);
    const auto mediaBytes = checked::Mul<uint64_t>(v.nSectorCount, v.nBytesPerSector);
    if (!chunkBytes || *chunkBytes > kMaxChunkBytes || !mediaBytes) return Unsupported(segment, type, at);
    if (*mediaBytes == 0) return Damaged(segment, fmt::format("has a {} section that holds no disk (0 sectors)", type));
    const uint64_t chunks = *mediaBytes / *chunkBytes + (*mediaBytes % *chunkBytes != 0);
    if (chunks != v.nChunkCount) return Unsupported(segment, type, at);
    m_layout.media = v;
    m_layout.nChunkBytes = *chunkBytes;
    m_layout.nMediaBytes = *mediaBytes;
    m_bHaveMedia = true;
    return Opening::Opened;
  }

  Opening Unsupported(size_t segment, const std::string& type, uint64_t at) {
    *m_error = fmt::format("{}: {}'s {} section at byte {} is of a kind this reader does not take", m_strPath,
                           m_files->Name(segment), type, at);
    return Opening::Unsupported;
  }

  // Reads a table (its header, entries and their checksum) whose data lies at dataAt, appending
  // its entries. The chunks lie in [areaStart, areaEnd) when haveArea, else in the table section
  // after the entries. False with the reason when it is damaged (nothing appended).
  bool ReadTable(size_t segment, uint64_t dataAt, uint64_t dataBytes, bool haveArea, uint64_t areaStart,
                 uint64_t areaEnd, Table* table, std::string* why) {
    uint8_t head[kTableHeaderSize];
    if (dataBytes < kTableHeaderSize) {
      *why = "too short";
      return false;
    }
    if (!m_files->Read(segment, dataAt, head, sizeof head)) {
      *why = fmt::format("unreadable: {}", std::strerror(errno ? errno : EIO));
      return false;
    }
    const std::optional<TableHeader> h = ParseTableHeader(head);
    if (!h) {
      *why = "bad header checksum";
      return false;
    }
    const bool hasChecksum = !m_layout.media.bShortForm;
    const uint64_t entryBytes = uint64_t(h->nEntryCount) * kTableEntrySize;
    const uint64_t need = kTableHeaderSize + entryBytes + (hasChecksum ? kChunkChecksumSize : 0);
    if (need > dataBytes) {
      *why = fmt::format("{} entries do not fit in the section", h->nEntryCount);
      return false;
    }
    const uint64_t before = m_layout.entries.size();
    if (h->nEntryCount > m_layout.media.nChunkCount - before) {
      *why = fmt::format("{} entries, more than the {} chunks the image has left", h->nEntryCount,
                         m_layout.media.nChunkCount - before);
      return false;
    }
    // The entries, read in pieces, as the table stores them.
    m_layout.entries.resize(before + h->nEntryCount);
    uint32_t adler = 1;
    uint8_t piece[64 * 1024];
    for (uint64_t done = 0; done < entryBytes;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof piece, entryBytes - done));
      if (!m_files->Read(segment, dataAt + kTableHeaderSize + done, piece, n)) {
        *why = fmt::format("unreadable: {}", std::strerror(errno ? errno : EIO));
        m_layout.entries.resize(before);
        return false;
      }
      adler = libdeflate_adler32(adler, piece, n);
      for (size_t i = 0; i < n; i += kTableEntrySize)
        m_layout.entries[before + (done + i) / kTableEntrySize] = bytes::RawLE32(piece + i);
      done += n;
    }
    if (hasChecksum) {
      uint8_t stored[kChunkChecksumSize];
      if (!m_files->Read(segment, dataAt + kTableHeaderSize + entryBytes, stored, sizeof stored) ||
          bytes::RawLE32(stored) != adler) {
        *why = "bad checksum of its entries";
        m_layout.entries.resize(before);
        return false;
      }
    }
    table->nSegment = static_cast<uint32_t>(segment);
    table->nFirstChunk = before;
    table->nCount = h->nEntryCount;
    table->nBase = h->nBaseOffset;
    if (haveArea) {
      table->nAreaStart = areaStart;
      table->nAreaEnd = areaEnd;
    } else {
      // EnCase 1 and the original format: the chunks follow the entries in the table section.
      table->nAreaStart = dataAt + need;
      table->nAreaEnd = dataAt + dataBytes;
    }
    return true;
  }

  // Adds a table read from the chain to the image (or refuses a damaged one with no copy).
  Opening Commit(size_t segment, Pending& pending) {
    if (!pending.bActive) return Opening::Opened;
    pending.bActive = false;
    if (!pending.bOk)
      return Damaged(segment, fmt::format("has a damaged chunk table at byte {} ({}) and no intact copy of it",
                                          Hex(pending.nAt), pending.strWhy));
    // The chunks of a table are stored one after the other. Offsets that go back are what
    // EnCase 6.7.1 wrote past 2 GiB of a sectors section (a 32-bit offset overflowing into the
    // compression bit); that quirk is left to libewf rather than read as other chunks.
    const Table& t = pending.table;
    for (uint64_t c = t.nFirstChunk + 1; c < t.nFirstChunk + t.nCount; ++c)
      if ((m_layout.entries[c] & kEntryOffsetMask) <= (m_layout.entries[c - 1] & kEntryOffsetMask))
        return Unsupported(segment, "table", pending.nAt);
    if (t.nCount > 0) m_layout.tables.push_back(t);
    return Opening::Opened;
  }

  const std::string m_strPath;
  std::string* m_error;
  std::unique_ptr<CSegmentFiles> m_files;
  ImageLayout m_layout;
  bool m_bHaveMedia = false;
};

}  // namespace

std::string SegmentName(const std::string& firstPath, uint32_t number) {
  const size_t dot = firstPath.rfind('.');
  if (dot == std::string::npos || firstPath.find('/', dot) != std::string::npos || firstPath.size() - dot != 4)
    return {};
  const char letter = firstPath[dot + 1];
  if (firstPath.compare(dot + 2, 2, "01") != 0 || !((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')))
    return {};
  const bool upper = letter <= 'Z';
  const char a = upper ? 'A' : 'a', z = upper ? 'Z' : 'z';
  std::string name = firstPath.substr(0, dot + 1);
  if (number == 0) return {};
  if (number <= 99) return name + fmt::format("{}{:02}", letter, number);
  const uint32_t k = number - 100;
  const uint32_t first = uint32_t(letter) + k / (26 * 26);
  if (first > uint32_t(z)) return {};
  name += char(first);
  name += char(a + (k / 26) % 26);
  name += char(a + k % 26);
  return name;
}

Opening OpenImage(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error) {
  std::string why;
  COpener opener(path, error ? error : &why);
  return opener.Open(device);
}

}  // namespace ewf
