#include "ntfs/NTFSDirectory.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "deepscan/VirtualDriver.h"
#include "ntfs/Lznt1.h"
#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"
#include "tree/OutputFile.h"

using namespace ntfsrecord;

namespace {
bool OnPath(const CNTFSDirectory* folder, uint64_t record) {
  for (const CDirectory* d = folder; d; d = d->m_pParent) {
    auto* nd = dynamic_cast<const CNTFSDirectory*>(d);
    if (nd && nd->m_nRecord == record && nd->m_pParent) return true;
  }
  return false;
}
}  // namespace

bool CNTFSDirectory::HasSubfolders(bool) {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v) return false;
  if (this == v->m_pRoot) return true;
  return v->HasChildFolder(m_nRecord);
}

void CNTFSDirectory::LoadChildren(bool, bool, bool force) {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v) return;
  v->EnsureMftLoaded();
  if (!v->m_bMftLoaded) return;
  if (this == v->m_pLostFolder && !force) {
    RunDeepScanHook(this);
    return;
  }
  m_bLoaded = true;
  if (this == v->m_pLostFolder) return;
  const size_t recordSize = v->m_nRecordSize;

  if (this == v->m_pDeletedFolder) {
    // Orphans: deleted records whose parent record is now a file.
    for (uint64_t d = 0; d < v->m_nRecordCount; ++d) {
      const uint8_t* r = v->ImageRecord(d);
      if (!r || (bytes::RawLE16(v->ImageRecord(v->OwnerOf(d)) + kFlags) & kFlagInUse)) continue;
      AttributeView a = FindAttribute({r, recordSize}, kFileName);
      if (!a || a.Value().size() < kFnName) continue;
      uint64_t parent = bytes::RawLE64(a.Value().data() + kFnParent) & 0xFFFFFFFFFFFFULL;
      const uint8_t* p = v->ImageRecord(parent);
      if (!p || (bytes::RawLE16(p + kFlags) & kFlagFolder)) continue;
      bool known = std::any_of(m_children.begin(), m_children.end(), [&](const auto& c) {
        auto* nd = dynamic_cast<const CNTFSDirectory*>(c.get());
        return nd && nd->m_nRecord == parent;
      });
      if (known) continue;
      auto dir = std::make_unique<CNTFSDirectory>();
      dir->m_pDriver = v;
      dir->m_strName = text::Widen(fmt::format("dir_{}", m_children.size() + 1));
      int64_t now = localtime_::Now();
      dir->m_tCreated = dir->m_tModified = dir->m_tAccessed = now;
      dir->m_bDeleted = true;
      dir->m_nStatus = STATUS_GOOD;
      dir->m_bStatusEvaluated = true;
      dir->m_nRecord = parent;
      AddChild(std::move(dir));
    }
  }

  for (uint32_t d : v->ChildrenOf(m_nRecord)) {
    const uint64_t owner = v->OwnerOf(d);
    if (owner == m_nRecord || OnPath(this, owner)) continue;
    // The record passed when the MFT was read; it is checked again as it is read now.
    const uint8_t* r = v->ImageRecord(d);
    if (!r) continue;
    AttributeView a = FindAttribute({r, recordSize}, kFileName);
    auto value = a.Value();
    if (!a || value.size() < kFnName) continue;
    size_t nameLength = value[kFnNameLength];
    if (value.size() < kFnName + 2 * nameLength || nameLength == 0) continue;
    char16_t first = bytes::RawLE16(value.data() + kFnName);
    if (first == u'$' || first == u'.') continue;
    const uint16_t flags = bytes::RawLE16(v->ImageRecord(owner) + kFlags);
    const bool folder = flags & kFlagFolder, deleted = !(flags & kFlagInUse);
    std::unique_ptr<CDirEntry> node;
    CNTFSFile* file = nullptr;
    if (folder) {
      auto dir = std::make_unique<CNTFSDirectory>();
      dir->m_nRecord = owner;
      node = std::move(dir);
    } else {
      auto f = std::make_unique<CNTFSFile>();
      f->m_nRecord = owner;
      f->m_nSize = bytes::RawLE64(value.data() + kFnRealSize);
      f->m_nAllocatedSize = bytes::RawLE64(value.data() + kFnAllocatedSize);
      file = f.get();
      node = std::move(f);
    }
    std::u16string name;
    for (size_t k = 0; k < nameLength; ++k) name += char16_t(bytes::RawLE16(value.data() + kFnName + 2 * k));
    node->m_strName = name;
    if (file) file->m_strExtension = ExtensionOf(name);
    node->m_pDriver = v;
    node->m_dwAttributes = bytes::RawLE32(value.data() + kFnFlags);
    node->m_bDeleted = deleted;
    int64_t t;
    if (NtfsTimeToUnix(bytes::RawLE64(value.data() + kFnCreated), t)) {
      node->m_tCreated = t;
      if (NtfsTimeToUnix(bytes::RawLE64(value.data() + kFnModified), t)) {
        node->m_tModified = t;
        if (NtfsTimeToUnix(bytes::RawLE64(value.data() + kFnAccessed), t)) node->m_tAccessed = t;
      }
    }
    node->m_pParent = this;
    if (!(v->m_bStatusOnDemand && deleted && file)) {
      node->m_nStatus = v->EvaluateDeletedStatus(deleted, file);
      node->m_bStatusEvaluated = true;
    }
    AddChild(std::move(node));
  }
}

void CNTFSFile::EvaluateStatus() {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (v && !IsCarved()) m_nStatus = v->EvaluateDeletedStatus(m_bDeleted, this);
  m_bStatusEvaluated = true;
}

bool CNTFSFile::IsCarved() const { return m_pDriver && m_pParent == m_pDriver->m_pLostFolder; }

void CNTFSFile::TakeDataSizes() {
  if (m_bDataSizesTaken || IsCarved()) return;
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  NtfsStream s;
  if (!v || !v->LoadStream(m_nRecord, kData, s)) return;
  m_nSize = s.bResident ? s.value.size() : s.nRealSize;
  m_nAllocatedSize = s.bResident ? s.value.size() : s.nAllocatedSize;
  if (m_nAllocatedSize < v->m_nBytesPerCluster) m_nAllocatedSize = v->m_nBytesPerCluster;
  m_bDataSizesTaken = true;
}

bool CNTFSFile::IsEncrypted() {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  NtfsStream s;
  return !IsCarved() && v && v->LoadStream(m_nRecord, kData, s) && s.bEncrypted;
}

uint64_t CNTFSFile::GetSize() {
  TakeDataSizes();
  return m_nSize;
}
uint64_t CNTFSFile::GetAllocatedSize() {
  TakeDataSizes();
  return m_nAllocatedSize;
}
std::u16string CNTFSFile::GetSizeText(bool detail) {
  TakeDataSizes();
  return CFSFile::GetSizeText(detail);
}
std::u16string CNTFSFile::GetAllocatedSizeText(bool detail) {
  TakeDataSizes();
  return CFSFile::GetAllocatedSizeText(detail);
}

bool CNTFSFile::WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t) {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v) return false;
  auto stopped = [&] { return progress && IsPageStopSignalled(); };
  if (stopped()) return false;
  const uint64_t bpc = v->m_nBytesPerCluster;
  uint64_t written = 0;
  auto emit = [&](const uint8_t* data, uint64_t n) {
    if (!out.Write(data, size_t(n))) return false;
    written += n;
    SendProgress(progress, WM_FILEPROGRESS, FILE_WRITTEN, int64_t(written));
    return true;
  };
  if (IsCarved()) {
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, int64_t(m_nSize));
    std::vector<uint8_t> cluster(bpc);
    for (uint64_t c = m_nRecord; written < m_nSize; ++c) {
      if (stopped() || !v->ReadClusterRange(c, 1, cluster.data()) || stopped()) return false;
      if (!emit(cluster.data(), std::min(bpc, m_nSize - written))) return false;
    }
    SendProgress(progress, WM_FILEDONE, 0, 0);
    return true;
  }
  NtfsStream s;
  if (!v->LoadStream(m_nRecord, kData, s)) return false;
  if (s.bResident) {
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, int64_t(s.value.size()));
    if (!emit(s.value.data(), s.value.size())) return false;
    SendProgress(progress, WM_FILEDONE, 0, 0);
    return true;
  }
  const uint64_t size = s.nRealSize;
  SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, int64_t(size));
  if (s.bCompressed) {
    // Unit by unit: all clusters sparse gives zeros, all allocated is stored as is, and
    // fewer allocated clusters hold LZNT1 data.
    const uint64_t unitClusters = s.nCompressionUnitClusters, unitBytes = unitClusters * bpc;
    std::vector<uint8_t> stored(unitBytes), plain(unitBytes);
    for (uint64_t vcn = 0; written < size; vcn += unitClusters) {
      if (stopped()) return false;
      uint64_t allocated = 0;
      for (uint64_t k = 0; k < unitClusters; ++k) {
        uint64_t lcn, remaining;
        bool sparse;
        if (!MapVcnInRuns(s.runs, vcn + k, lcn, remaining, sparse)) {
          if (k == 0 && allocated == 0) break;
          continue;
        }
        if (sparse) continue;
        if (!v->ReadClusterRange(lcn, 1, stored.data() + allocated * bpc)) return false;
        ++allocated;
      }
      const uint8_t* data = stored.data();
      if (allocated == 0) {
        std::fill(plain.begin(), plain.end(), 0);
        data = plain.data();
      } else if (allocated < unitClusters) {
        if (!DecompressLznt1(stored.data(), allocated * bpc, plain.data(), unitBytes)) return false;
        data = plain.data();
      }
      if (!emit(data, std::min(unitBytes, size - written))) return false;
    }
    SendProgress(progress, WM_FILEDONE, 0, 0);
    return true;
  }
  // Run by run in pieces of at most 1 MiB, every extent in VCN order.
  constexpr uint64_t kPiece = 1 << 20;
  std::vector<uint8_t> buffer;
  for (uint64_t vcn = 0; written < size;) {
    if (stopped()) return false;
    uint64_t lcn, remaining;
    bool sparse;
    if (!MapVcnInRuns(s.runs, vcn, lcn, remaining, sparse)) return false;
    uint64_t clusters = std::min(remaining, std::max<uint64_t>(1, kPiece / bpc));
    uint64_t bytes = std::min(clusters * bpc, size - written);
    buffer.assign(clusters * bpc, 0);
    if (!sparse && (!v->ReadClusterRange(lcn, clusters, buffer.data()) || stopped())) return false;
    if (!emit(buffer.data(), bytes)) return false;
    vcn += clusters;
  }
  SendProgress(progress, WM_FILEDONE, 0, 0);
  return true;
}
