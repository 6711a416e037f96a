// Format notes: QCOW2 (versions 2 and 3).
//
// The file is cut into clusters of 2^cluster_bits bytes (512 B to 2 MiB); the header lies in
// the first, followed there by header extensions and the backing file's name. The virtual disk
// is cut into clusters of the same size, found through two levels of tables, big-endian:
//
//   L1 table   one 8-byte entry per L2 table, contiguous anywhere in the file: the L2 table's
//              offset (0: every cluster under it is unallocated)
//   L2 table   one cluster of 8-byte entries, one per guest cluster:
//                standard     the cluster's offset in the file (cluster-aligned; 0 without
//                             the "copied" bit: unallocated); in version 3 bit 0 makes it
//                             read as zeros whatever the offset
//                compressed   bit 62; a byte offset and a count of 512-byte sectors, split at
//                             bit 62 - (cluster_bits - 8): a raw deflate stream that inflates
//                             to exactly one cluster, possibly sharing its last sector with
//                             the next stream
//
// An unallocated cluster reads from the backing file at the same offset (zeros past the
// backing file's end), or as zeros without one. Snapshots, refcounts and bitmaps do not change
// what the active disk reads, and are not looked at.
//
// Decisions:
// - The header is checked whole at opening: version, cluster size, header length, feature
//   bits, compression type, the L1 table inside the file and large enough for the disk, the
//   backing file's name inside the first cluster, the extensions inside it too. What is not
//   sane is refused with what is wrong; it is never read as a raw image. An L1 table longer
//   than the disk needs is legal (qemu-img resize --shrink leaves it so): only the entries the
//   disk needs are read, so memory follows the disk's size, never the recorded count.
// - What this reader does not take answers Unsupported and goes to libqcow: version 1,
//   encryption, an external data file, extended L2 entries, a compression type other than
//   deflate, an unknown incompatible feature bit.
// - A truncated file is refused at opening: every L2 table the L1 names must lie inside the
//   file, and while the L2 tables total at most 64 MiB every cluster they name must start
//   inside it. Past that bound (a huge disk) the clusters are checked as they are read.
// - An L2 entry no writer makes (an unaligned offset, offset 0 marked allocated, the zero bit
//   in version 2), a cluster or an L2 table past the end of the file, and a compressed cluster
//   that does not inflate to exactly one cluster read as unreadable (EIO), as a bad sector
//   does; the rest of the disk reads as usual. They never read as zeros.
// - Memory: the L1 entries the disk needs, a cache of L2 tables (about 32 MiB, at least 4),
//   a cache of inflated clusters (about 4 MiB, at least 4) and one staging buffer per thread
//   for compressed bytes.
// - Speed: reads of standard clusters are preads straight into the caller's buffer, one per
//   run of clusters that lie side by side in the file; the table cache's lock is taken once
//   per L2 table a read touches, never around a pread or an inflation, so the scan and the
//   window read-ahead (CScopedReadAhead) read at once.
#include "platform/Qcow2Image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>
#include <libdeflate.h>

#include "platform/ByteReader.h"
#include "platform/Checked.h"
#include "platform/ImageContainers.h"
#include "platform/Qcow2Layout.h"
#include "platform/RawDevice.h"

namespace qcow2layout {

using bytes::RawBE32;
using bytes::RawBE64;
using container::Hex;

HeaderParse ParseHeader(std::span<const uint8_t> first, uint64_t fileSize, Header* header, std::string* why) {
  Header& h = *header;
  if (first.size() < 4 || std::memcmp(first.data() + kMagic, kMagicBytes, 4) != 0) return HeaderParse::NotQcow;
  if (first.size() < kVersion + 4) {
    *why = fmt::format("its header is cut short ({} bytes)", first.size());
    return HeaderParse::Damaged;
  }
  const uint8_t* p = first.data();
  h.nVersion = RawBE32(p + kVersion);
  if (h.nVersion == 1) {
    *why = "is version 1 (QCOW)";
    return HeaderParse::Unsupported;
  }
  if (h.nVersion != 2 && h.nVersion != 3) {
    *why = fmt::format("its header gives format version {}, not 1, 2 or 3", h.nVersion);
    return HeaderParse::Damaged;
  }
  if (first.size() < kV2HeaderSize || (h.nVersion == 3 && first.size() < kV3MinHeaderSize)) {
    *why = fmt::format("its header is cut short ({} bytes)", first.size());
    return HeaderParse::Damaged;
  }
  h.nClusterBits = RawBE32(p + kClusterBits);
  if (h.nClusterBits < kMinClusterBits || h.nClusterBits > kMaxClusterBits) {
    *why = fmt::format("its header gives {} cluster bits, not {} to {}", h.nClusterBits, kMinClusterBits,
                       kMaxClusterBits);
    return HeaderParse::Damaged;
  }
  const uint64_t clusterBytes = h.ClusterBytes();
  h.nHeaderLength = static_cast<uint32_t>(kV2HeaderSize);
  if (h.nVersion == 3) {
    h.nHeaderLength = RawBE32(p + kHeaderLength);
    if (h.nHeaderLength < kV3MinHeaderSize || h.nHeaderLength % 8 != 0 || h.nHeaderLength > clusterBytes ||
        h.nHeaderLength > first.size()) {
      *why = fmt::format("its header gives a header length of {} bytes (at least {}, a multiple of 8, inside "
                         "the first cluster)",
                         h.nHeaderLength, kV3MinHeaderSize);
      return HeaderParse::Damaged;
    }
    h.nIncompatible = RawBE64(p + kIncompatibleFeatures);
    if (const uint64_t unread = h.nIncompatible & ~kFeaturesRead; unread != 0) {
      if (unread & kFeatureExternalData) *why = "keeps its clusters in an external data file";
      else if (unread & kFeatureExtendedL2) *why = "has extended L2 entries (subclusters)";
      else if (unread & kFeatureCompressionType) *why = "uses a compression type other than deflate";
      else *why = fmt::format("has the unknown incompatible feature bit {}", __builtin_ctzll(unread));
      return HeaderParse::Unsupported;
    }
    if (h.nHeaderLength > kCompressionType && p[kCompressionType] != 0) {
      *why = fmt::format("its header gives compression type {} without the feature bit that allows one",
                         p[kCompressionType]);
      return HeaderParse::Damaged;
    }
  }
  if (const uint32_t crypt = RawBE32(p + kCryptMethod); crypt != 0) {
    *why = fmt::format("is encrypted (method {})", crypt);
    return HeaderParse::Unsupported;
  }
  h.nMediaSize = RawBE64(p + kMediaSize);
  if (h.nMediaSize > uint64_t(INT64_MAX)) {
    *why = fmt::format("its header gives a disk of {} bytes", h.nMediaSize);
    return HeaderParse::Damaged;
  }
  // Bytes of the disk one L2 table covers: clusterBytes * clusterBytes / 8, at most 2^39.
  const uint64_t perTable = clusterBytes * h.L2Entries();
  h.nL1Needed = h.nMediaSize / perTable + (h.nMediaSize % perTable != 0);
  h.nL1Size = RawBE32(p + kL1Size);
  h.nL1Offset = RawBE64(p + kL1Offset);
  if (uint64_t(h.nL1Size) * 8 > kMaxL1Bytes) {
    *why = fmt::format("its L1 table of {} entries is larger than any writer makes (at most {} MiB)", h.nL1Size,
                       kMaxL1Bytes >> 20);
    return HeaderParse::Damaged;
  }
  if (h.nL1Needed > h.nL1Size) {
    *why = fmt::format("its L1 table has {} entries, but a disk of {} bytes needs {}", h.nL1Size, h.nMediaSize,
                       h.nL1Needed);
    return HeaderParse::Damaged;
  }
  if (h.nL1Offset % clusterBytes != 0) {
    *why = fmt::format("its L1 table lies at byte {}, not at a cluster boundary", Hex(h.nL1Offset));
    return HeaderParse::Damaged;
  }
  if (h.nL1Offset == 0) {
    *why = "its L1 table lies at byte 0, over the header";
    return HeaderParse::Damaged;
  }
  if (h.nL1Offset > fileSize || h.nL1Needed * 8 > fileSize - h.nL1Offset) {
    *why = "its cluster table lies past the end of the file (truncated)";
    return HeaderParse::Damaged;
  }

  // The backing file's name: in the first cluster, after the extensions.
  const uint64_t nameAt = RawBE64(p + kBackingNameOffset);
  const uint32_t nameBytes = RawBE32(p + kBackingNameSize);
  uint64_t extensionsEnd = std::min<uint64_t>(clusterBytes, first.size());
  if (nameAt != 0 && nameBytes != 0) {
    if (nameBytes > kMaxBackingNameBytes || nameAt < h.nHeaderLength || nameAt > extensionsEnd ||
        nameBytes > extensionsEnd - nameAt) {
      *why = fmt::format("its backing file name ({} bytes at byte {}) does not lie inside the first cluster",
                         nameBytes, nameAt);
      return HeaderParse::Damaged;
    }
    h.strBackingName.assign(reinterpret_cast<const char*>(p + nameAt), nameBytes);
    h.strBackingName.resize(std::strlen(h.strBackingName.c_str()));  // a C string to every writer
    extensionsEnd = nameAt;
  }
  // The extensions: each one at least 8 bytes, so the walk ends.
  for (uint64_t at = h.nHeaderLength; extensionsEnd - at >= kExtensionHeaderSize;) {
    const uint32_t type = RawBE32(p + at), length = RawBE32(p + at + 4);
    if (type == kExtensionEnd) break;
    const uint64_t dataAt = at + kExtensionHeaderSize;
    if (length > extensionsEnd - dataAt) {
      *why = fmt::format("its header extension 0x{:08x} at byte {} runs past the header area ({} bytes)", type, at,
                         length);
      return HeaderParse::Damaged;
    }
    if (type == kExtensionBackingFormat) {
      h.strBackingFormat.assign(reinterpret_cast<const char*>(p + dataAt), std::min<uint32_t>(length, 64));
      h.strBackingFormat.resize(std::strlen(h.strBackingFormat.c_str()));
    }
    at = dataAt + ((uint64_t(length) + 7) & ~uint64_t(7));
    if (at > extensionsEnd) break;
  }
  return HeaderParse::Ok;
}

Cluster DecodeL2Entry(uint64_t entry, uint32_t clusterBits, uint32_t version) {
  Cluster c;
  if (entry & kEntryCompressed) {
    const uint32_t split = 62 - (clusterBits - 8);
    c.nHostOffset = entry & ((uint64_t(1) << split) - 1);
    const uint64_t sectors = ((entry >> split) & ((uint64_t(1) << (clusterBits - 8)) - 1)) + 1;
    // The offset field takes bits past 55 only for small clusters; those must be 0.
    if (c.nHostOffset >> 56) {
      c.kind = ClusterKind::Corrupt;
      return c;
    }
    c.kind = ClusterKind::Compressed;
    c.nStoredBytes = sectors * kCompressedSectorBytes - c.nHostOffset % kCompressedSectorBytes;
    return c;
  }
  c.nHostOffset = entry & kStandardOffsetMask;
  if (entry & kEntryZero) {
    c.kind = version >= 3 ? ClusterKind::Zero : ClusterKind::Corrupt;
    return c;
  }
  if (c.nHostOffset == 0) {
    // Offset 0 is the header; only an external data file may place a cluster there.
    c.kind = entry & kEntryCopied ? ClusterKind::Corrupt : ClusterKind::Unallocated;
    return c;
  }
  const uint64_t clusterMask = (uint64_t(1) << clusterBits) - 1;
  c.kind = c.nHostOffset & clusterMask ? ClusterKind::Corrupt : ClusterKind::Standard;
  return c;
}

}  // namespace qcow2layout

namespace qcow2 {
namespace {

using namespace qcow2layout;
using container::ThreadDecompressor;

// L2 tables cached, and inflated clusters cached.
constexpr size_t kL2CacheBytes = 32u << 20;
constexpr size_t kInflatedCacheBytes = 4u << 20;
constexpr size_t kMinCacheSlots = 4;
// The L2 tables are checked whole at opening while they total at most this.
constexpr uint64_t kCheckedTableBytes = 64u << 20;
// Files in a chain of backing files, the image included; a longer chain is a loop.
constexpr int kMaxChainDepth = 16;

// Reads exactly len bytes at offset; false with errno set (EIO for a short file).
bool PreadAll(int fd, uint64_t offset, void* buffer, size_t len) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (len > 0) {
    const ssize_t n = ::pread(fd, out, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    out += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return true;
}

using L2Table = std::vector<uint64_t>;  // the entries, in host order

std::shared_ptr<const L2Table> DecodeTable(const std::vector<uint8_t>& raw) {
  auto table = std::make_shared<L2Table>(raw.size() / 8);
  for (size_t i = 0; i < table->size(); ++i) (*table)[i] = RawBE64(raw.data() + i * 8);
  return table;
}

// A bounded cache of shared values by key, least recently used out first. Thread-safe; the
// values are handed out as shared pointers, so a reader uses one after the lock is gone.
template <typename Value>
class CLruCache {
 public:
  explicit CLruCache(size_t slots) : m_nSlots(std::max<size_t>(slots, 1)) {}
  std::shared_ptr<const Value> Find(uint64_t key) {
    std::lock_guard lock(m_mutex);
    auto it = m_where.find(key);
    if (it == m_where.end()) return nullptr;
    m_order.splice(m_order.begin(), m_order, it->second);
    return it->second->second;
  }
  // Inserts value unless the key is there already; answers the cached value.
  std::shared_ptr<const Value> Insert(uint64_t key, std::shared_ptr<const Value> value) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_where.find(key); it != m_where.end()) return it->second->second;
    m_order.emplace_front(key, std::move(value));
    m_where[key] = m_order.begin();
    while (m_order.size() > m_nSlots) {
      m_where.erase(m_order.back().first);
      m_order.pop_back();
    }
    return m_order.front().second;
  }
  bool Full() const {
    std::lock_guard lock(m_mutex);
    return m_order.size() >= m_nSlots;
  }

 private:
  using Entry = std::pair<uint64_t, std::shared_ptr<const Value>>;
  const size_t m_nSlots;
  mutable std::mutex m_mutex;
  std::list<Entry> m_order;
  std::unordered_map<uint64_t, typename std::list<Entry>::iterator> m_where;
};

// What the opener found, handed to the device.
struct ImageLayout {
  Header header;
  uint64_t nFileSize = 0;
  std::vector<uint64_t> l1;  // the entries the disk needs, in host order
  std::shared_ptr<CRawDevice> backing;
};

// The disk of an image. Thread safety: reads from several threads are allowed (CRawDevice);
// the caches lock inside, around their maps only.
class CQcow2Device final : public CRawDevice {
 public:
  CQcow2Device(const std::string& path, int fd, ImageLayout layout)
      : CRawDevice(path, layout.header.nMediaSize),
        m_fd(fd),
        m_nFileSize(layout.nFileSize),
        m_nVersion(layout.header.nVersion),
        m_nClusterBits(layout.header.nClusterBits),
        m_nClusterBytes(layout.header.ClusterBytes()),
        m_nL2Entries(layout.header.L2Entries()),
        m_l1(std::move(layout.l1)),
        m_backing(std::move(layout.backing)),
        m_tables(std::max<size_t>(kMinCacheSlots, kL2CacheBytes / m_nClusterBytes)),
        m_inflated(std::max<size_t>(kMinCacheSlots, kInflatedCacheBytes / m_nClusterBytes)) {}
  ~CQcow2Device() override { ::close(m_fd); }
  const char* ContainerName() const override { return "QCOW2"; }

  // The clusters of the ranges are looked up and the kernel asked to read them into its page
  // cache (POSIX_FADV_WILLNEED), the bytes of one file run at a time; unallocated ones are
  // passed on to the backing file. A device that has failed a read takes no hints.
  bool TakesReadHints() const override { return true; }
  void WillRead(const ByteRange* ranges, size_t count) override {
    if (FailedReads() != 0) return;
    uint64_t runFrom = 0, runLen = 0;
    auto flush = [&] {
      if (runLen > 0)
        ::posix_fadvise(m_fd, static_cast<off_t>(runFrom), static_cast<off_t>(runLen), POSIX_FADV_WILLNEED);
      runLen = 0;
    };
    for (size_t i = 0; i < count; ++i) {
      if (ranges[i].nOffset >= m_nSize || ranges[i].nLength == 0) continue;
      const uint64_t first = ranges[i].nOffset >> m_nClusterBits;
      const uint64_t end = ranges[i].nOffset + std::min(ranges[i].nLength, m_nSize - ranges[i].nOffset);
      const uint64_t last = (end - 1) >> m_nClusterBits;
      for (uint64_t c = first; c <= last; ++c) {
        const uint64_t l2Offset = m_l1[c / m_nL2Entries] & kL1OffsetMask;
        std::shared_ptr<const L2Table> table = l2Offset ? Table(l2Offset) : nullptr;
        if (l2Offset && !table) return;  // a table that cannot be read: no more guessing
        const uint64_t entry = table ? (*table)[c % m_nL2Entries] : 0;
        const Cluster place = DecodeL2Entry(entry, m_nClusterBits, m_nVersion);
        if (place.kind == ClusterKind::Unallocated && m_backing) {
          const ByteRange inBacking{c << m_nClusterBits, m_nClusterBytes};
          m_backing->WillRead(&inBacking, 1);
        }
        if (place.kind != ClusterKind::Standard) continue;
        if (runLen > 0 && runFrom + runLen == place.nHostOffset) {
          runLen += m_nClusterBytes;
        } else {
          flush();
          runFrom = place.nHostOffset;
          runLen = m_nClusterBytes;
        }
      }
    }
    flush();
  }

  // Puts a table read at opening into the cache while it has room.
  void Prime(uint64_t l2Offset, std::shared_ptr<const L2Table> table) {
    if (!m_tables.Full()) m_tables.Insert(l2Offset, std::move(table));
  }

 protected:
  // Fails, leaving part of buffer written, when the range runs past the disk (errno 0), touches
  // a cluster or table that is damaged or past the end of the file (EIO), or a read of the file
  // or the backing file fails (its errno).
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_nSize || len > m_nSize - offset) {
      errno = 0;
      return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    Run run;
    while (len > 0) {
      const uint64_t cluster = offset >> m_nClusterBits;
      const uint64_t l1Index = cluster / m_nL2Entries;
      std::shared_ptr<const L2Table> table;
      if (const uint64_t l2Offset = m_l1[l1Index] & kL1OffsetMask; l2Offset != 0) {
        table = Table(l2Offset);
        if (!table) return false;
      }
      // Every cluster of the request under this table.
      for (uint64_t c = cluster; len > 0 && c / m_nL2Entries == l1Index; ++c) {
        const size_t in = static_cast<size_t>(offset & (m_nClusterBytes - 1));
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len, m_nClusterBytes - in));
        const uint64_t entry = table ? (*table)[c % m_nL2Entries] : 0;
        const Cluster place = DecodeL2Entry(entry, m_nClusterBits, m_nVersion);
        switch (place.kind) {
          case ClusterKind::Standard:
          case ClusterKind::Unallocated: {
            const bool stored = place.kind == ClusterKind::Standard;
            const uint64_t from = stored ? place.nHostOffset + in : offset;
            if (run.len == 0 || run.bStored != stored || run.from + run.len != from) {
              if (!Flush(run)) return false;
              run = Run{stored, from, out, 0};
            }
            run.len += n;
            break;
          }
          case ClusterKind::Zero: std::memset(out, 0, n); break;
          case ClusterKind::Compressed:
            if (!ReadCompressed(place, entry & ~kEntryCopied, in, out, n)) return false;
            break;
          case ClusterKind::Corrupt: errno = EIO; return false;
        }
        out += n;
        offset += n;
        len -= n;
      }
    }
    return Flush(run);
  }

 private:
  // Neighbouring clusters read together: stored ones lying side by side in the file, or
  // unallocated ones side by side on the disk.
  struct Run {
    bool bStored = false;
    uint64_t from = 0;  // the file offset (stored) or the disk offset (unallocated)
    uint8_t* out = nullptr;
    size_t len = 0;
  };

  bool Flush(Run& run) {
    if (run.len == 0) return true;
    const Run r = run;
    run.len = 0;
    if (r.bStored) {
      // Bytes past the end of the file are unreadable, not zeros.
      if (r.from > m_nFileSize || r.len > m_nFileSize - r.from) {
        errno = EIO;
        return false;
      }
      return PreadAll(m_fd, r.from, r.out, r.len);
    }
    // Unallocated: the backing file's bytes, zeros past its end or without one.
    size_t fromBacking = 0;
    if (m_backing && r.from < m_backing->Size())
      fromBacking = static_cast<size_t>(std::min<uint64_t>(r.len, m_backing->Size() - r.from));
    if (fromBacking > 0 && !m_backing->ReadUncached(r.from, r.out, fromBacking)) {
      if (errno == 0) errno = EIO;
      return false;
    }
    std::memset(r.out + fromBacking, 0, r.len - fromBacking);
    return true;
  }

  // The L2 table at l2Offset, from the cache or the file; null with errno set when it cannot
  // be read (EIO past the end of the file).
  std::shared_ptr<const L2Table> Table(uint64_t l2Offset) {
    if (auto table = m_tables.Find(l2Offset)) return table;
    if (l2Offset % m_nClusterBytes != 0 || l2Offset > m_nFileSize || m_nClusterBytes > m_nFileSize - l2Offset) {
      errno = EIO;
      return nullptr;
    }
    std::vector<uint8_t> raw(m_nClusterBytes);
    if (!PreadAll(m_fd, l2Offset, raw.data(), raw.size())) return nullptr;
    return m_tables.Insert(l2Offset, DecodeTable(raw));
  }

  // Inflates a compressed cluster into out (one cluster); false with errno EIO when its bytes
  // lie past the end of the file or do not inflate to exactly one cluster.
  bool Inflate(const Cluster& place, uint8_t* out) {
    if (place.nHostOffset >= m_nFileSize) {
      errno = EIO;
      return false;
    }
    // The last stream of a file may end before its last sector does.
    const size_t stored = static_cast<size_t>(std::min<uint64_t>(place.nStoredBytes, m_nFileSize - place.nHostOffset));
    thread_local std::vector<uint8_t> staging;
    if (staging.size() < stored) staging.resize(stored);
    if (!PreadAll(m_fd, place.nHostOffset, staging.data(), stored)) return false;
    size_t produced = 0;
    if (libdeflate_deflate_decompress(ThreadDecompressor(), staging.data(), stored, out, m_nClusterBytes,
                                      &produced) != LIBDEFLATE_SUCCESS ||
        produced != m_nClusterBytes) {
      errno = EIO;
      return false;
    }
    return true;
  }

  // Copies n bytes from byte in of a compressed cluster. A whole cluster is inflated straight
  // into out; a part goes through the cache of inflated clusters, by the descriptor (offset and
  // length: two entries that share an offset but not a length are two streams).
  bool ReadCompressed(const Cluster& place, uint64_t key, size_t in, uint8_t* out, size_t n) {
    auto cached = m_inflated.Find(key);
    if (!cached) {
      if (in == 0 && n == m_nClusterBytes) return Inflate(place, out);
      auto bytes = std::make_shared<std::vector<uint8_t>>(m_nClusterBytes);
      if (!Inflate(place, bytes->data())) return false;
      cached = m_inflated.Insert(key, std::move(bytes));
    }
    std::memcpy(out, cached->data() + in, n);
    return true;
  }

  const int m_fd;
  const uint64_t m_nFileSize;
  const uint32_t m_nVersion;
  const uint32_t m_nClusterBits;
  const uint64_t m_nClusterBytes;
  const uint64_t m_nL2Entries;
  const std::vector<uint64_t> m_l1;
  const std::shared_ptr<CRawDevice> m_backing;
  CLruCache<L2Table> m_tables;                  // by the table's offset in the file
  CLruCache<std::vector<uint8_t>> m_inflated;   // by the compressed cluster's descriptor
};

// The files of a chain being opened on this thread; set when the chain ran too long.
thread_local int t_chainDepth = 0;
thread_local bool t_chainTooLong = false;

class COpener {
 public:
  COpener(const std::string& path, std::string* error) : m_path(path), m_error(*error) {}
  ~COpener() {
    if (m_fd >= 0) ::close(m_fd);
  }

  Opening Open(std::shared_ptr<CRawDevice>* device) {
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) return Fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return Fail("not a regular file");
    m_layout.nFileSize = static_cast<uint64_t>(st.st_size);
    Header& h = m_layout.header;

    // The header and its extensions lie in the first cluster, whose size the header gives.
    std::vector<uint8_t> first(static_cast<size_t>(std::min<uint64_t>(m_layout.nFileSize, kV3MinHeaderSize)));
    if (!PreadAll(m_fd, 0, first.data(), first.size())) return Fail(std::strerror(errno));
    if (first.size() >= kClusterBits + 4) {
      const uint32_t bits = RawBE32(first.data() + kClusterBits);
      if (bits >= kMinClusterBits && bits <= kMaxClusterBits) {
        first.resize(static_cast<size_t>(std::min<uint64_t>(m_layout.nFileSize, uint64_t(1) << bits)));
        if (!PreadAll(m_fd, 0, first.data(), first.size())) return Fail(std::strerror(errno));
      }
    }
    std::string why;
    switch (ParseHeader(first, m_layout.nFileSize, &h, &why)) {
      case HeaderParse::Ok: break;
      case HeaderParse::NotQcow: return Opening::NotQcow2;
      case HeaderParse::Unsupported:
        m_error = fmt::format("{}: the QCOW image {}", m_path, why);
        return Opening::Unsupported;
      case HeaderParse::Damaged: return Damaged(why);
    }
    if (h.nMediaSize < 512)
      return Refuse(fmt::format("the QCOW2 image holds no disk ({} bytes)", h.nMediaSize));

    if (!ReadTables()) return Opening::Refused;
    if (!h.strBackingName.empty() && !OpenBacking()) return Opening::Refused;

    // Clusters mostly follow each other in the file as on the disk.
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    auto disk = std::make_shared<CQcow2Device>(m_path, m_fd, std::move(m_layout));
    m_fd = -1;
    for (auto& [offset, table] : m_checked) disk->Prime(offset, std::move(table));
    *device = std::move(disk);
    return Opening::Opened;
  }

 private:
  Opening Fail(const std::string& what) {
    m_error = fmt::format("{}: the QCOW2 image cannot be read: {}", m_path, what);
    return Opening::Refused;
  }
  Opening Refuse(const std::string& what) {
    m_error = fmt::format("{}: {}", m_path, what);
    return Opening::Refused;
  }
  // For the checks that answer false once the error is set.
  static bool Failed(Opening) { return false; }
  Opening Damaged(const std::string& what) {
    const char* kind = m_layout.header.nVersion == 2 || m_layout.header.nVersion == 3 ? "QCOW2" : "QCOW";
    return Refuse(fmt::format("the {} image is damaged: {}", kind, what));
  }

  // Reads the L1 entries the disk needs and checks that the tables and clusters they lead to
  // lie inside the file (the L2 tables themselves only while they total kCheckedTableBytes).
  bool ReadTables() {
    const Header& h = m_layout.header;
    const uint64_t clusterBytes = h.ClusterBytes(), fileSize = m_layout.nFileSize;
    std::vector<uint8_t> raw(static_cast<size_t>(h.nL1Needed * 8));
    if (!PreadAll(m_fd, h.nL1Offset, raw.data(), raw.size())) return Failed(Fail(std::strerror(errno)));
    m_layout.l1.resize(static_cast<size_t>(h.nL1Needed));
    uint64_t tables = 0;
    for (size_t i = 0; i < m_layout.l1.size(); ++i) {
      const uint64_t entry = RawBE64(raw.data() + i * 8), l2Offset = entry & kL1OffsetMask;
      m_layout.l1[i] = entry;
      if (l2Offset == 0) continue;
      ++tables;
      if (l2Offset % clusterBytes != 0)
        return Failed(Damaged(fmt::format("its L1 entry {} places an L2 table at byte {}, not at a cluster boundary",
                                          i, Hex(l2Offset))));
      if (l2Offset > fileSize || clusterBytes > fileSize - l2Offset)
        return Failed(Damaged("a cluster table lies past the end of the file (truncated)"));
    }
    if (tables * clusterBytes > kCheckedTableBytes) return true;
    std::vector<uint8_t> table(clusterBytes);
    for (size_t i = 0; i < m_layout.l1.size(); ++i) {
      const uint64_t l2Offset = m_layout.l1[i] & kL1OffsetMask;
      if (l2Offset == 0) continue;
      if (!PreadAll(m_fd, l2Offset, table.data(), table.size())) return Failed(Fail(std::strerror(errno)));
      auto decoded = DecodeTable(table);
      for (uint64_t j = 0; j < decoded->size(); ++j) {
        const uint64_t guest = (uint64_t(i) * h.L2Entries() + j) * clusterBytes;
        if (guest >= h.nMediaSize) break;
        const Cluster c = DecodeL2Entry((*decoded)[j], h.nClusterBits, h.nVersion);
        bool outside = false;
        if (c.kind == ClusterKind::Standard) {
          // At least its first sector (or the disk's last bytes) must be there.
          const uint64_t need = std::min<uint64_t>(512, h.nMediaSize - guest);
          outside = c.nHostOffset > fileSize || need > fileSize - c.nHostOffset;
        } else if (c.kind == ClusterKind::Compressed) {
          outside = c.nHostOffset >= fileSize;
        }
        if (outside)
          return Failed(Damaged(fmt::format("data of the disk at byte {} lies past the end of the file (truncated)", guest)));
      }
      // Kept for the device's cache while they fit in it.
      if (m_checked.size() * clusterBytes < kL2CacheBytes) m_checked.emplace_back(l2Offset, std::move(decoded));
    }
    return true;
  }

  // Opens the backing file as its format says: raw, or an image (QCOW2 through this reader).
  bool OpenBacking() {
    const Header& h = m_layout.header;
    const std::string parent = container::FindParent(m_path, h.strBackingName);
    if (parent.empty())
      return Failed(Refuse(fmt::format("the QCOW2 image needs its backing file \"{}\", which is not there", h.strBackingName)));
    const bool raw = h.strBackingFormat == "raw";
    std::string inner;
    m_layout.backing = CRawDevice::OpenPath(parent, &inner, !raw);
    if (!m_layout.backing) {
      if (t_chainTooLong)
        return Failed(Refuse("the QCOW2 image's backing files form a chain too long to follow (a loop?)"));
      return Failed(Refuse(fmt::format("the QCOW2 image's backing file {} cannot be opened: {}", parent, inner)));
    }
    const char* kind = m_layout.backing->ContainerName();
    const bool qcow = kind && (std::strcmp(kind, "QCOW2") == 0 || std::strcmp(kind, "QCOW") == 0);
    if ((h.strBackingFormat == "qcow2" || h.strBackingFormat == "qcow") && !qcow)
      return Failed(Refuse(fmt::format("the QCOW2 image's backing file {} is not a QCOW image, as the image says it is",
                                parent)));
    return true;
  }

  const std::string& m_path;
  std::string& m_error;
  int m_fd = -1;
  ImageLayout m_layout;
  std::vector<std::pair<uint64_t, std::shared_ptr<const L2Table>>> m_checked;
};

}  // namespace

Opening OpenImage(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  if (t_chainDepth == 0) t_chainTooLong = false;
  if (t_chainDepth >= kMaxChainDepth) {
    t_chainTooLong = true;
    *error = fmt::format("{}: the QCOW2 image's backing files form a chain too long to follow (a loop?)", path);
    return Opening::Refused;
  }
  struct Depth {
    Depth() { ++t_chainDepth; }
    ~Depth() { --t_chainDepth; }
  } depth;
  COpener opener(path, error);
  return opener.Open(device);
}

}  // namespace qcow2
