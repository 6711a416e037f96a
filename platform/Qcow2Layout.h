// QCOW2 on-disk layout (versions 2 and 3, as qemu-img writes them), big-endian, and the pure
// parses the reader (platform/Qcow2Image.cpp), its tests and its fuzz target use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qcow2layout {

// Header                                          size  meaning
constexpr size_t kMagic = 0;                       // 4   "QFI\xfb"
constexpr size_t kVersion = 4;                     // 4   1 (QCOW), 2 or 3
constexpr size_t kBackingNameOffset = 8;           // 8   where the backing file's name lies (0: none)
constexpr size_t kBackingNameSize = 16;            // 4   its length in bytes, no NUL (at most 1023)
constexpr size_t kClusterBits = 20;                // 4   log2 of the cluster size (9 to 21)
constexpr size_t kMediaSize = 24;                  // 8   bytes of the virtual disk
constexpr size_t kCryptMethod = 32;                // 4   0 none, 1 AES, 2 LUKS
constexpr size_t kL1Size = 36;                     // 4   entries of the active L1 table
constexpr size_t kL1Offset = 40;                   // 8   where it lies, cluster-aligned
constexpr size_t kV2HeaderSize = 72;               //     version 2 ends here
constexpr size_t kIncompatibleFeatures = 72;       // 8   version 3: bits a reader must know
constexpr size_t kCompatibleFeatures = 80;         // 8
constexpr size_t kAutoclearFeatures = 88;          // 8
constexpr size_t kRefcountOrder = 96;              // 4
constexpr size_t kHeaderLength = 100;              // 4   at least 104, a multiple of 8
constexpr size_t kV3MinHeaderSize = 104;
constexpr size_t kCompressionType = 104;           // 1   0 deflate, 1 zstd (present when the length says so)
constexpr uint8_t kMagicBytes[4] = {'Q', 'F', 'I', 0xfb};

// Incompatible feature bits.
constexpr uint64_t kFeatureDirty = 1u << 0;         // refcounts may be stale: harmless to a reader
constexpr uint64_t kFeatureCorrupt = 1u << 1;       // must not be written: harmless to a reader
constexpr uint64_t kFeatureExternalData = 1u << 2;  // the clusters lie in another file
constexpr uint64_t kFeatureCompressionType = 1u << 3;  // compressed clusters use compression_type
constexpr uint64_t kFeatureExtendedL2 = 1u << 4;    // 128-bit L2 entries with subclusters
constexpr uint64_t kFeaturesRead = kFeatureDirty | kFeatureCorrupt;

// Header extensions follow the header (4-byte type, 4-byte length, data padded to 8) until
// type 0, inside the first cluster.
constexpr uint32_t kExtensionEnd = 0;
constexpr uint32_t kExtensionBackingFormat = 0xe2792aca;  // the backing file's format name ("raw", "qcow2", ...)
constexpr size_t kExtensionHeaderSize = 8;

// L1 entry: bits 9 to 55 the L2 table's offset (0: none), bit 63 "copied".
constexpr uint64_t kL1OffsetMask = 0x00fffffffffffe00ull;
// L2 entry: bit 63 "copied", bit 62 compressed, then a cluster descriptor.
constexpr uint64_t kEntryCopied = 1ull << 63;
constexpr uint64_t kEntryCompressed = 1ull << 62;
// Standard descriptor: bit 0 "reads as zeros" (version 3), bits 9 to 55 the host offset.
constexpr uint64_t kEntryZero = 1;
constexpr uint64_t kStandardOffsetMask = 0x00fffffffffffe00ull;
// Compressed descriptor, x = 62 - (cluster bits - 8): bits 0 to x-1 the host offset (any byte),
// bits x to 61 the count of 512-byte sectors after the one holding the offset.
constexpr uint64_t kCompressedSectorBytes = 512;

constexpr uint32_t kMinClusterBits = 9;
constexpr uint32_t kMaxClusterBits = 21;  // 2 MiB, the largest qemu writes
// The largest L1 table qemu opens (32 MiB); a header wanting more is refused.
constexpr uint64_t kMaxL1Bytes = 32u << 20;
constexpr uint32_t kMaxBackingNameBytes = 1023;

// What a header says, as the reader uses it.
struct Header {
  uint32_t nVersion = 0;
  uint32_t nClusterBits = 0;
  uint64_t nMediaSize = 0;
  uint32_t nL1Size = 0;       // entries recorded
  uint64_t nL1Offset = 0;
  uint64_t nL1Needed = 0;     // entries the media needs (at most nL1Size; the rest are ignored)
  uint64_t nIncompatible = 0;
  uint32_t nHeaderLength = 0;
  std::string strBackingName;    // empty: no backing file
  std::string strBackingFormat;  // from the header extension; empty when absent
  uint64_t ClusterBytes() const { return uint64_t(1) << nClusterBits; }
  uint64_t L2Entries() const { return ClusterBytes() / 8; }
};

enum class HeaderParse {
  Ok,
  NotQcow,      // no magic
  Unsupported,  // a variant left to another reader (version 1, encryption, feature bits); why says which
  Damaged,      // not sane; why says what is wrong
};
// Parses the header, its extensions and the backing file's name from the file's first bytes
// (the first cluster, or the whole file when shorter) and checks them against fileSize: the
// L1 table must lie inside the file and hold the entries the media needs. Fills *header as
// far as it got.
HeaderParse ParseHeader(std::span<const uint8_t> first, uint64_t fileSize, Header* header, std::string* why);

// What an L2 entry says about its guest cluster.
enum class ClusterKind {
  Unallocated,  // read from the backing file, else zeros
  Zero,         // reads as zeros (version 3)
  Standard,     // nHostOffset: the cluster's bytes, as they are
  Compressed,   // nHostOffset, nStoredBytes: a raw deflate stream that inflates to one cluster
  Corrupt,      // an entry no writer makes (unaligned, at offset 0, the zero bit in version 2): unreadable
};
struct Cluster {
  ClusterKind kind = ClusterKind::Unallocated;
  uint64_t nHostOffset = 0;
  uint64_t nStoredBytes = 0;
};
Cluster DecodeL2Entry(uint64_t entry, uint32_t clusterBits, uint32_t version);

}  // namespace qcow2layout
