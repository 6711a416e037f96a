// FAT volumes built byte by byte for the FAT tests: the layouts the formatting tools never
// make (chains that loop, folders that lead back to themselves, hand-picked long-name runs,
// unreadable sectors).
//
// Layout: one reserved sector (the boot sector), two FATs, the fixed root region (FAT12/16;
// none on FAT32, whose root is cluster 2), then the data clusters. The width follows from the
// cluster count exactly as the driver decides it, so a count below 4085 makes FAT12 and one of
// 65525 or more FAT32. Only the bytes up to the last cluster written are held in memory; the
// device reads the rest of the volume as zeros.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fat/FATDriver.h"
#include "platform/RawDevice.h"
#include "support/Bytes.h"

namespace fattest {

using Entry = std::array<uint8_t, 32>;

// 2023-11-14 22:13:20 as FAT date and time words.
constexpr uint16_t kDate = (43 << 9) | (11 << 5) | 14;
constexpr uint16_t kTime = (22 << 11) | (13 << 5) | 10;
constexpr uint8_t kAttrFile = 0x20, kAttrDir = 0x10, kAttrLabel = 0x08;

using ::PutLE16;
using ::PutLE32;
inline void Put16(uint8_t* p, uint32_t v) { PutLE16(p, v); }
inline void Put32(uint8_t* p, uint32_t v) { PutLE32(p, v); }

// A short entry. name11 holds the eight base and three extension characters, space-padded
// ("README  TXT"); every time and date field gets date and time.
inline Entry Short(const char* name11, uint8_t attributes, uint32_t cluster, uint32_t size, uint16_t date = kDate,
                   uint16_t time = kTime) {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attributes;
  Put16(&e[14], time);
  Put16(&e[16], date);
  Put16(&e[18], date);
  Put16(&e[20], cluster >> 16);
  Put16(&e[22], time);
  Put16(&e[24], date);
  Put16(&e[26], cluster & 0xFFFF);
  Put32(&e[28], size);
  return e;
}

inline Entry Deleted(Entry e) {
  e[0] = 0xE5;
  return e;
}

// The checksum that long-name entries carry of their short entry's eleven name bytes.
inline uint8_t ShortNameChecksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

// The long-name entries of name in disk order: the entry holding the end of the name first,
// with bit 0x40 in its sequence byte. A name that does not fill its last entry is ended by a
// 0 and padded with 0xFFFF.
inline std::vector<Entry> LongName(const std::u16string& name, uint8_t checksum) {
  const size_t count = (name.size() + 12) / 13;
  std::vector<Entry> out;
  for (size_t k = count; k-- > 0;) {
    Entry e{};
    e[0] = uint8_t(k + 1) | (k + 1 == count ? 0x40 : 0);
    e[11] = 0x0F;
    e[13] = checksum;
    static constexpr int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) {
      size_t at = k * 13 + i;
      uint16_t c = at < name.size() ? name[at] : at == name.size() ? 0 : 0xFFFF;
      Put16(&e[kOffsets[i]], c);
    }
    out.push_back(e);
  }
  return out;
}

// A long-named item: its long-name entries followed by its short entry.
inline std::vector<Entry> Item(const std::u16string& name, const char* name11, uint8_t attributes, uint32_t cluster,
                               uint32_t size) {
  Entry s = Short(name11, attributes, cluster, size);
  std::vector<Entry> out = LongName(name, ShortNameChecksum(s.data()));
  out.push_back(s);
  return out;
}

inline std::vector<Entry> Deleted(std::vector<Entry> entries) {
  for (auto& e : entries) e[0] = 0xE5;
  return entries;
}

inline std::vector<Entry> Join(std::initializer_list<std::vector<Entry>> parts) {
  std::vector<Entry> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// JPEG-shaped bytes the picture rule measures as exactly size bytes: start of image, a JFIF
// segment, a start of scan, scan bytes without 0xFF, the end-of-image marker.
inline std::vector<uint8_t> JpegLike(size_t size, uint8_t seed = 1) {
  static const uint8_t kHead[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0,
                                  1,    0,    1,    0,    0, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0};
  std::vector<uint8_t> b(kHead, kHead + sizeof kHead);
  uint32_t x = seed;
  while (b.size() + 2 < size) {
    x = (x * 75 + 74) % 65537;
    b.push_back(uint8_t(x % 255));
  }
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

// A memory device of a given size whose bytes beyond the held ones read as zeros and whose
// listed sectors (512 bytes each) cannot be read.
class CTestDevice final : public CRawDevice {
 public:
  CTestDevice(std::vector<uint8_t> bytes, uint64_t size, std::set<uint64_t> badSectors)
      : CRawDevice("<test>", size), m_bytes(std::move(bytes)), m_badSectors(std::move(badSectors)) {
    m_bUsesWindow = false;
  }
  // From now on these sectors cannot be read (a disk that fails while it is being read).
  void SetBadSectors(std::set<uint64_t> badSectors) { m_badSectors = std::move(badSectors); }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override {
    if (offset > m_nSize || len > m_nSize - offset) return false;
    for (uint64_t s = offset / 512; len && s <= (offset + len - 1) / 512; ++s)
      if (m_badSectors.count(s)) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, len);
    if (offset < m_bytes.size()) std::memcpy(out, m_bytes.data() + offset, std::min<size_t>(len, m_bytes.size() - offset));
    return true;
  }

 private:
  std::vector<uint8_t> m_bytes;
  std::set<uint64_t> m_badSectors;
};

class CFatTestImage {
 public:
  static constexpr uint32_t kBytesPerSector = 512;

  CFatTestImage(uint32_t clusters, uint32_t sectorsPerCluster = 1, uint32_t rootEntries = 64)
      : m_nClusters(clusters), m_nSectorsPerCluster(sectorsPerCluster) {
    m_nWidth = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    if (m_nWidth == 32) rootEntries = 0;
    m_nRootSectors = (rootEntries * 32 + kBytesPerSector - 1) / kBytesPerSector;
    uint64_t fatBytes = m_nWidth == 12 ? (uint64_t(clusters) + 2) * 3 / 2 + 1 : (uint64_t(clusters) + 2) * m_nWidth / 8;
    m_nFatSectors = uint32_t((fatBytes + kBytesPerSector - 1) / kBytesPerSector);
    m_nFirstDataSector = 1 + 2 * m_nFatSectors + m_nRootSectors;
    m_nTotalSectors = m_nFirstDataSector + clusters * sectorsPerCluster;
    m_bytes.assign(size_t(m_nFirstDataSector) * kBytesPerSector, 0);
    uint8_t* b = m_bytes.data();
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    Put16(b + 0x0B, kBytesPerSector);
    b[0x0D] = uint8_t(sectorsPerCluster);
    Put16(b + 0x0E, 1);
    b[0x10] = 2;
    Put16(b + 0x11, rootEntries);
    if (m_nTotalSectors < 65536 && m_nWidth != 32) Put16(b + 0x13, m_nTotalSectors);
    else Put32(b + 0x20, m_nTotalSectors);
    b[0x15] = 0xF8;
    if (m_nWidth != 32) {
      Put16(b + 0x16, m_nFatSectors);
    } else {
      Put32(b + 0x24, m_nFatSectors);
      Put32(b + 0x2C, 2);  // the root folder's first cluster
    }
    Put16(b + 0x1FE, 0xAA55);
    SetFat(0, 0x0FFFFFF8 & Mask());
    SetFat(1, Mask());
    if (m_nWidth == 32) SetFat(2, Mask());  // the root cluster
  }

  uint32_t Width() const { return m_nWidth; }
  uint32_t Mask() const { return m_nWidth == 12 ? 0xFFF : m_nWidth == 16 ? 0xFFFF : 0x0FFFFFFF; }
  uint32_t EndOfChain() const { return Mask(); }
  uint32_t BytesPerCluster() const { return kBytesPerSector * m_nSectorsPerCluster; }
  uint64_t FatOffset() const { return kBytesPerSector; }
  uint64_t RootOffset() const { return uint64_t(1 + 2 * m_nFatSectors) * kBytesPerSector; }
  uint64_t ClusterOffset(uint32_t c) const {
    return (m_nFirstDataSector + uint64_t(c - 2) * m_nSectorsPerCluster) * kBytesPerSector;
  }
  uint64_t ClusterSector(uint32_t c) const { return ClusterOffset(c) / kBytesPerSector; }
  uint64_t TotalBytes() const { return uint64_t(m_nTotalSectors) * kBytesPerSector; }

  // Writes value as the entry of cluster in both FATs (the value as stored, so FAT32's top
  // four bits can be set).
  void SetFat(uint32_t cluster, uint32_t value) {
    for (uint32_t copy = 0; copy < 2; ++copy) {
      uint8_t* fat = m_bytes.data() + FatOffset() + uint64_t(copy) * m_nFatSectors * kBytesPerSector;
      if (m_nWidth == 12) {
        uint8_t* p = fat + cluster + cluster / 2;
        if (cluster & 1) {
          p[0] = uint8_t((p[0] & 0x0F) | ((value & 0x0F) << 4));
          p[1] = uint8_t(value >> 4);
        } else {
          p[0] = uint8_t(value);
          p[1] = uint8_t((p[1] & 0xF0) | ((value >> 8) & 0x0F));
        }
      } else if (m_nWidth == 16) {
        Put16(fat + 2 * cluster, value);
      } else {
        Put32(fat + 4 * cluster, value);
      }
    }
  }
  uint32_t Fat(uint32_t cluster) const {
    const uint8_t* fat = m_bytes.data() + FatOffset();
    if (m_nWidth == 12) {
      const uint8_t* p = fat + cluster + cluster / 2;
      uint32_t w = p[0] | (p[1] << 8);
      return cluster & 1 ? w >> 4 : w & 0xFFF;
    }
    if (m_nWidth == 16) return fat[2 * cluster] | (fat[2 * cluster + 1] << 8);
    return (fat[4 * cluster] | (fat[4 * cluster + 1] << 8) | (fat[4 * cluster + 2] << 16) |
            (uint32_t(fat[4 * cluster + 3]) << 24)) & 0x0FFFFFFF;
  }
  // Links the clusters in order and ends the chain after the last.
  void Chain(const std::vector<uint32_t>& clusters) {
    for (size_t i = 0; i < clusters.size(); ++i) SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : EndOfChain());
  }

  // The bytes of a data cluster (held from now on).
  uint8_t* ClusterBytes(uint32_t c) { return Bytes(ClusterOffset(c), BytesPerCluster()); }
  // Writes data from the start of cluster c on through the following clusters.
  void Fill(uint32_t c, const std::vector<uint8_t>& data) {
    if (!data.empty()) std::memcpy(Bytes(ClusterOffset(c), data.size()), data.data(), data.size());
  }

  // Writes entries into a folder from its entry number first on: the fixed root region for
  // cluster 0, otherwise the folder's clusters as the FAT links them from cluster.
  void WriteDir(uint32_t cluster, const std::vector<Entry>& entries, uint32_t first = 0) {
    const uint32_t perCluster = BytesPerCluster() / 32;
    for (size_t i = 0; i < entries.size(); ++i) {
      uint32_t n = first + uint32_t(i);
      uint64_t at;
      if (cluster == 0) {
        at = RootOffset() + uint64_t(n) * 32;
      } else {
        uint32_t c = cluster;
        for (uint32_t k = 0; k < n / perCluster; ++k) c = Fat(c);
        at = ClusterOffset(c) + uint64_t(n % perCluster) * 32;
      }
      std::memcpy(Bytes(at, 32), entries[i].data(), 32);
    }
  }
  // A subfolder: "." and ".." at the start of cluster, then entries.
  void WriteFolder(uint32_t cluster, uint32_t parent, const std::vector<Entry>& entries) {
    std::vector<Entry> all = {Short(".          ", kAttrDir, cluster, 0), Short("..         ", kAttrDir, parent, 0)};
    all.insert(all.end(), entries.begin(), entries.end());
    WriteDir(cluster, all);
  }

  // A volume over a copy of the bytes, opened as a lost volume is (boot sector through
  // Attach); null when Open refuses it.
  std::unique_ptr<CFATDriver> Open(std::set<uint64_t> badSectors = {}) const {
    auto v = std::make_unique<CFATDriver>();
    v->m_hDevice = std::make_shared<CTestDevice>(m_bytes, TotalBytes(), std::move(badSectors));
    if (!v->Attach(v->m_hDevice, m_bytes.data(), 0) || !v->Open(0, DRIVE_FIXED, u"test", true)) return nullptr;
    return v;
  }

  // The whole volume, zeros included (for writing it to an image file).
  std::vector<uint8_t> WholeImage() const {
    std::vector<uint8_t> all(m_bytes);
    all.resize(TotalBytes(), 0);
    return all;
  }

  std::vector<uint8_t> m_bytes;

 private:
  uint8_t* Bytes(uint64_t offset, size_t len) {
    if (m_bytes.size() < offset + len) m_bytes.resize(offset + len, 0);
    return m_bytes.data() + offset;
  }

  uint32_t m_nClusters, m_nSectorsPerCluster, m_nWidth;
  uint32_t m_nRootSectors = 0, m_nFatSectors = 0, m_nFirstDataSector = 0, m_nTotalSectors = 0;
};

}  // namespace fattest
