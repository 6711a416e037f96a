// exfat.img (tests/fixtures/make_exfat_images.sh) held in memory for the exFAT tests: the
// layouts no tool makes are made by editing a copy of it (a chain that loops, a folder that
// leads back to the root, a set that claims too much), and the volume is opened over the copy
// the way a lost volume is.
#pragma once

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "exfat/ExFATDirectory.h"
#include "platform/RawDevice.h"
#include "support/Bytes.h"
#include "support/ExFatFixtures.h"

namespace exfattest {

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CExFatImage {
 public:
  CExFatImage() : m_bytes(ReadFile(ExFatFixturePath("exfat.img"))) {
    ExFatGeometry g;
    if (ParseExFatGeometry(ExFatBootBytes(m_bytes.data(), 512), g) != ExFatBootCheck::Ok)
      throw std::runtime_error("exfat.img: no exFAT boot sector");
    m_g = g;
  }

  std::vector<uint8_t>& Bytes() { return m_bytes; }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }
  const ExFatGeometry& Geometry() const { return m_g; }
  size_t ClusterOffset(uint64_t c) const {
    return size_t((m_g.nClusterHeapOffset + (c - 2) * m_g.nSectorsPerCluster) * m_g.nBytesPerSector);
  }
  size_t FatOffset(uint64_t c) const { return size_t(m_g.nFatOffset * m_g.nBytesPerSector + 4 * c); }
  void SetFat(uint64_t c, uint32_t value) { PutLE32(m_bytes, FatOffset(c), value); }

  // The byte offset of the File entry of the set named name in the folder whose first
  // cluster is folder (its first cluster only), deleted sets included; throws when missing.
  size_t FindSet(const std::u16string& name, uint64_t folder = 0) const {
    const size_t base = ClusterOffset(folder ? folder : m_g.nRootCluster);
    for (size_t at = base; at + 32 <= base + m_g.nBytesPerCluster; at += 32) {
      if ((m_bytes[at] | 0x80) != 0x85) continue;
      ExFatEntrySet set;
      const std::span<const uint8_t> rest(m_bytes.data() + at, base + m_g.nBytesPerCluster - at);
      if (ParseExFatEntrySet(rest, set) == ExFatSetParse::Ok && set.strName == name) return at;
    }
    throw std::runtime_error("no entry set with that name");
  }
  ExFatEntrySet SetAt(size_t at) const {
    ExFatEntrySet set;
    ParseExFatEntrySet(std::span<const uint8_t>(m_bytes.data() + at, m_bytes.size() - at), set);
    return set;
  }
  // Writes the set checksum the set at at should carry after an edit.
  void Reseal(size_t at) {
    const size_t entries = 1 + m_bytes[at + 1];
    const bool deleted = !(m_bytes[at] & 0x80);
    PutLE16(m_bytes, at + 2, ExFatSetChecksum(std::span<const uint8_t>(m_bytes.data() + at, 32 * entries), deleted));
  }

  // A volume over (a copy of) the bytes, opened as a lost volume is opened.
  std::unique_ptr<CExFATDriver> Open() const {
    auto handle = CRawDevice::FromMemory(m_bytes);
    auto volume = std::make_unique<CExFATDriver>();
    if (!volume->Attach(handle, m_bytes.data(), 0) || !volume->Open(0, 3, u"test", true)) return nullptr;
    if (volume->m_pLostFolder) volume->m_pLostFolder->m_bLoaded = true;
    return volume;
  }

 private:
  std::vector<uint8_t> m_bytes;
  ExFatGeometry m_g;
};

// The child of folder named name (loading the folder first), or null.
inline CDirEntry* Child(CDirectory* folder, const std::u16string& name) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
  for (auto& c : folder->m_children)
    if (c->m_strName == name) return c.get();
  return nullptr;
}

}  // namespace exfattest
