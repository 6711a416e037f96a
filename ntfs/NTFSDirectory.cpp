#include "ntfs/NTFSDirectory.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include <fmt/format.h>

#include "tasks/FrontEnd.h"
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
// The three times as the lists show them: each converted in turn, stopping at the first
// that does not convert (the ones after it stay 0).
struct ShownTimes {
  int64_t tCreated = 0, tModified = 0, tAccessed = 0;
};
void ConvertTimes(uint64_t created, uint64_t modified, uint64_t accessed, ShownTimes& out) {
  int64_t t;
  if (!NtfsTimeToUnix(created, t)) return;
  out.tCreated = t;
  if (!NtfsTimeToUnix(modified, t)) return;
  out.tModified = t;
  if (NtfsTimeToUnix(accessed, t)) out.tAccessed = t;
}

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

bool IsOrphan(CNTFSDriver& v, const NtfsFileNameView& name) {
  const uint8_t* p = v.ImageRecord(name.Parent());
  if (!p || !(bytes::RawLE16(p + kFlags) & kFlagFolder)) return true;
  // Freeing a record raises its sequence number by one: a deleted folder still holds the
  // children that name it with the number it had.
  const uint16_t sequence = name.ParentSequence(), now = bytes::RawLE16(p + kSequence);
  const bool freed = !(bytes::RawLE16(p + kFlags) & kFlagInUse);
  if (sequence != 0 && sequence != now && !(freed && uint16_t(sequence + 1) == now)) return true;
  AttributeView a = FindAttribute({p, v.m_nRecordSize}, kFileName);
  return !a || !NtfsFileNameView(a.Value()).Valid();
}

void CNTFSDirectory::LoadChildren(bool, bool, bool force) {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v) return;
  v->EnsureMftLoaded();
  if (!v->m_bMftLoaded) return;
  if (this == v->m_pLostFolder && !force) {
    FrontEndHooks().RunDeepScan(this);
    return;
  }
  m_bLoaded = true;
  if (this == v->m_pLostFolder) return;
  const size_t recordSize = v->m_nRecordSize;

  if (this == v->m_pDeletedFolder) {
    // Orphans, grouped by the parent record they name: one "dir_N" per parent.
    std::unordered_set<uint64_t> grouped;
    for (uint64_t d = 0; d < v->m_nRecordCount; ++d) {
      const uint8_t* r = v->ImageRecord(d);
      if (!r || (bytes::RawLE16(v->ImageRecord(v->OwnerOf(d)) + kFlags) & kFlagInUse)) continue;
      ForEachListedName({r, recordSize}, [&](const NtfsFileNameView& fn) {
        if (!IsOrphan(*v, fn) || !grouped.insert(fn.Parent()).second) return;
        auto dir = std::make_unique<CNTFSDirectory>();
        dir->m_pDriver = v;
        dir->m_strName = text::Widen(fmt::format("dir_{}", m_children.size() + 1));
        int64_t now = localtime_::Now();
        dir->m_tCreated = dir->m_tModified = dir->m_tAccessed = now;
        dir->m_bDeleted = true;
        dir->m_nStatus = STATUS_GOOD;
        dir->m_nStatusReason = StatusReason::LostFolderGroup;
        dir->m_bStatusEvaluated = true;
        dir->m_nRecord = fn.Parent();
        dir->m_bOrphanGroup = true;
        AddChild(std::move(dir));
      });
    }
  }

  uint64_t lastParentRef = UINT64_MAX;
  bool lastOrphan = false;
  uint32_t previous = UINT32_MAX;
  for (uint32_t d : v->ChildrenOf(m_nRecord)) {
    // A record with several names in this folder is indexed here once per name.
    if (d == previous) continue;
    previous = d;
    const uint64_t owner = v->OwnerOf(d);
    if (owner == m_nRecord || OnPath(this, owner)) continue;
    // The record passed when the MFT was read; it is checked again as it is read now.
    const uint8_t* r = v->ImageRecord(d);
    if (!r) continue;
    // Every name the record has in this folder is an item: the long name (never the DOS
    // name beside it) and each hard link.
    ForEachListedName({r, recordSize}, [&](const NtfsFileNameView& fn) {
      if (fn.Parent() != m_nRecord || fn.NameLength() == 0) return;
      const char16_t first = fn.NameUnit(0);
      if (first == u'$' || first == u'.') return;
      const uint16_t flags = bytes::RawLE16(v->ImageRecord(owner) + kFlags);
      const bool deleted = !(flags & kFlagInUse);
      // A deleted record is listed either under its parent folder or, when that cannot hold
      // it, in its "dir_N" of "DeletedFiles"; never in both, never in neither.
      if (deleted) {
        // The children of one folder name the same parent: its verdict is worked out once.
        const uint64_t ref = (uint64_t(fn.ParentSequence()) << 48) | fn.Parent();
        if (ref != lastParentRef) {
          lastParentRef = ref;
          lastOrphan = IsOrphan(*v, fn);
        }
        if (lastOrphan != m_bOrphanGroup) return;
      } else if (m_bOrphanGroup) {
        return;
      }
      AddRecordItems(*v, owner, fn);
    });
  }
}

void CNTFSDirectory::AddRecordItems(CNTFSDriver& v, uint64_t owner, const NtfsFileNameView& fn) {
  const size_t recordSize = v.m_nRecordSize;
  const uint8_t* ownerRecord = v.ImageRecord(owner);
  const uint16_t flags = bytes::RawLE16(ownerRecord + kFlags);
  const bool folder = flags & kFlagFolder, deleted = !(flags & kFlagInUse);
  const uint16_t sequence = bytes::RawLE16(ownerRecord + kSequence);
  // The node shows the $STANDARD_INFORMATION times of its record, as Windows does; the
  // $FILE_NAME times (set when the name was made, rarely updated after) are kept beside
  // them, and stand in when the record has no $STANDARD_INFORMATION.
  const NtfsNameTimes nameTimes{fn.CreatedTicks(), fn.ModifiedTicks(), fn.AccessedTicks()};
  uint64_t created = nameTimes.nCreatedTicks, modified = nameTimes.nModifiedTicks, accessed = nameTimes.nAccessedTicks;
  if (AttributeView si = FindAttribute({ownerRecord, recordSize}, kStandardInformation);
      si && !si.NonResident() && si.Value().size() >= kSiTimesEnd) {
    const uint8_t* value = si.Value().data();
    created = bytes::RawLE64(value + kSiCreated);
    modified = bytes::RawLE64(value + kSiModified);
    accessed = bytes::RawLE64(value + kSiAccessed);
  }
  ShownTimes shown;
  ConvertTimes(created, modified, accessed, shown);
  const std::u16string name = fn.Name();
  auto fill = [&](CDirEntry& node) {
    node.m_pDriver = &v;
    node.m_dwAttributes = fn.Flags();
    node.m_bDeleted = deleted;
    node.m_tCreated = shown.tCreated;
    node.m_tModified = shown.tModified;
    node.m_tAccessed = shown.tAccessed;
    node.m_pParent = this;
  };
  auto newFile = [&](std::u16string shownName) {
    auto f = std::make_unique<CNTFSFile>();
    f->m_nRecord = owner;
    f->m_nSequence = sequence;
    f->m_strExtension = ExtensionOf(shownName);
    f->m_strName = std::move(shownName);
    f->m_nameTimes = nameTimes;
    fill(*f);
    return f;
  };
  auto add = [&](std::unique_ptr<CNTFSFile> f) {
    if (!(v.m_bStatusOnDemand && deleted)) {
      f->m_nStatus = v.EvaluateDeletedStatus(deleted, f.get(), f->m_nStatusReason);
      f->m_bStatusEvaluated = true;
    }
    AddChild(std::move(f));
  };
  if (folder) {
    auto dir = std::make_unique<CNTFSDirectory>();
    dir->m_nRecord = owner;
    dir->m_nSequence = sequence;
    dir->m_strName = name;
    dir->m_nameTimes = nameTimes;
    fill(*dir);
    dir->m_nStatus = v.EvaluateDeletedStatus(deleted, nullptr, dir->m_nStatusReason);
    dir->m_bStatusEvaluated = true;
    AddChild(std::move(dir));
  } else {
    auto f = newFile(name);
    f->m_nSize = fn.RealSize();
    f->m_nAllocatedSize = fn.AllocatedSize();
    add(std::move(f));
  }
  // Each named stream of the record is an item of its own beside it, "NAME:STREAM"; a
  // deleted record keeps its streams.
  for (auto& stream : v.NamedStreams(owner)) {
    auto f = newFile(name + u":" + stream.strName);
    f->m_nSize = f->m_nAllocatedSize = stream.nSize;
    f->m_strStream = std::move(stream.strName);
    add(std::move(f));
  }
}

void CNTFSFile::EvaluateStatus() {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (v && !IsCarved()) m_nStatus = v->EvaluateDeletedStatus(m_bDeleted, this, m_nStatusReason);
  m_bStatusEvaluated = true;
}

bool CNTFSFile::IsCarved() const { return m_pDriver && m_pParent == m_pDriver->m_pLostFolder; }

void CNTFSFile::TakeDataSizes() {
  if (m_bDataSizesTaken || IsCarved()) return;
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  NtfsStream s;
  if (!v || !v->LoadStream(m_nRecord, kData, s, m_strStream)) return;
  m_nSize = s.bResident ? s.value.size() : s.nRealSize;
  m_nAllocatedSize = s.bResident ? s.value.size() : s.nAllocatedSize;
  if (m_nAllocatedSize < v->m_nBytesPerCluster) m_nAllocatedSize = v->m_nBytesPerCluster;
  m_bDataSizesTaken = true;
}

bool CNTFSFile::IsEncrypted() {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  NtfsStream s;
  return !IsCarved() && v && v->LoadStream(m_nRecord, kData, s, m_strStream) && s.bEncrypted;
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

namespace {
// Hands a stream's content to an output file, counting what was written.
class COutputSink final : public IStreamSink {
 public:
  COutputSink(IOutputFile& out, IProgressWindow* progress) : m_out(out), m_pProgress(progress) {}
  bool Data(const uint8_t* data, uint64_t n) override {
    if (!m_out.Write(data, size_t(n))) return false;
    m_nWritten += n;
    SendProgress(m_pProgress, WM_FILEPROGRESS, FILE_WRITTEN, int64_t(m_nWritten));
    return true;
  }
  void Unreadable(uint64_t at, uint64_t n) override { m_out.NoteUnreadable(at, n); }
  bool Zeros(uint64_t n) override {
    if (!m_out.WriteZeros(n)) return false;
    m_nWritten += n;
    SendProgress(m_pProgress, WM_FILEPROGRESS, FILE_WRITTEN, int64_t(m_nWritten));
    return true;
  }

 private:
  IOutputFile& m_out;
  IProgressWindow* m_pProgress;
  uint64_t m_nWritten = 0;
};
}  // namespace

void CNTFSFile::DataUnits(std::vector<UnitRun>& runs) {
  runs.clear();
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v || !v->m_nBytesPerCluster) return;
  if (IsCarved()) {
    runs.push_back({m_nFirstCluster, UINT64_MAX});
    TrimRuns(runs, m_nSize, v->m_nBytesPerCluster);
    return;
  }
  NtfsStream s;
  if (!v->LoadStream(m_nRecord, kData, s, m_strStream) || s.bResident) return;
  // In file order; a sparse run is a hole, nothing is read for it.
  uint64_t vcn = 0;
  const uint64_t clusters = (s.nRealSize + v->m_nBytesPerCluster - 1) / v->m_nBytesPerCluster;
  for (const NtfsRun& r : s.runs) {
    if (vcn >= clusters) break;
    const uint64_t n = std::min(r.nLength, clusters - vcn);
    if (!r.bSparse && n) {
      if (!runs.empty() && runs.back().nUnit + runs.back().nCount == r.nLcn) runs.back().nCount += n;
      else runs.push_back({r.nLcn, n});
    }
    vcn += r.nLength;
  }
}

bool CNTFSFile::WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t) {
  auto* v = dynamic_cast<CNTFSDriver*>(m_pDriver);
  if (!v) return false;
  auto stopped = [&] { return progress && IsPageStopSignalled(); };
  if (stopped()) return false;
  const uint64_t bpc = v->m_nBytesPerCluster;
  COutputSink sink(out, progress);
  if (IsCarved()) {
    // A carved file is its clusters in a row from the first.
    SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, int64_t(m_nSize));
    std::vector<uint8_t> cluster(bpc);
    uint64_t written = 0;
    for (uint64_t c = m_nFirstCluster; written < m_nSize; ++c) {
      if (stopped()) return false;
      const bool ok = v->ReadClusterRange(c, 1, cluster.data());
      if (stopped()) return false;
      const uint64_t n = std::min(bpc, m_nSize - written);
      // An unreadable cluster is zeros, noted for the save's report; a source that stopped
      // answering ends the file.
      if (!ok) {
        if (!v->FailedSectorsAreBad(v->ClusterToSector(c), v->m_nSectorsPerCluster)) return false;
        std::fill(cluster.begin(), cluster.end(), uint8_t(0));
        out.NoteUnreadable(written, n);
      }
      if (!sink.Data(cluster.data(), n)) return false;
      written += n;
    }
    SendProgress(progress, WM_FILEDONE, 0, 0);
    return true;
  }
  NtfsStream s;
  if (!v->LoadStream(m_nRecord, kData, s, m_strStream)) return false;
  SendProgress(progress, WM_FILEPROGRESS, FILE_SIZE, int64_t(s.bResident ? s.value.size() : s.nRealSize));
  // The stream reader bounds what is written: never past what the runs map, zeros past
  // the initialized size. A stream whose sizes claim more than its runs map is reported
  // as incomplete with what could be read.
  if (ReadStreamContent(*v, s, stopped, sink) != StreamReadResult::Ok) return false;
  SendProgress(progress, WM_FILEDONE, 0, 0);
  return true;
}
