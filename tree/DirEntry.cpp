#include "tree/DirEntry.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "settings/Language.h"
#include "device/Driver.h"
#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"

namespace {
std::u16string g_strFolderTypeName;

// NTFS and exFAT keep the time of the last access; FAT only its date.
bool HasAccessTime(const CLogicalDriver* d) { return d && (d->m_nFileSystem == FS_NTFS || d->m_nFileSystem == FS_EXFAT); }

char16_t Upper(char16_t c) {
  // The standard library's toupper on the character, as the search compares.
  if (c < 0x80) return char16_t(std::toupper(static_cast<unsigned char>(c)));
  return c;
}
}  // namespace

void InitResultsFolder(CDirectory& folder, CLogicalDriver* volume, const std::u16string& name, int64_t now) {
  folder.m_bResultsFolder = true;
  folder.m_pDriver = volume;
  folder.m_strName = name;
  folder.m_tCreated = folder.m_tModified = folder.m_tAccessed = now;
  folder.m_bDeleted = true;
  folder.m_nStatus = STATUS_EXISTING;
}

void SetFolderTypeName(const std::u16string& name) { g_strFolderTypeName = name; }

std::u16string ExtensionOf(std::u16string_view name) {
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return std::u16string(name);
  return std::u16string(name.substr(dot + 1));
}

std::u16string FormatSizeText(uint64_t size, bool detail) {
  uint64_t kb = (size >= 1 && size < 1024) ? 1 : size / 1024;
  std::string s = fmt::format("{} KB", kb);
  std::u16string out = text::Widen(s);
  if (detail) {
    // The byte count is printed whole (a 32-bit count would misstate files of 4 GiB and more).
    out += text::Widen(fmt::format(" ({} ", size));
    out += GetString("IDS_FILE_PROERITIES_BYTES", u"Bytes");
    out += u")";
  }
  return out;
}

std::u16string FormatTimeText(int64_t t, bool dateOnly) {
  localtime_::CalendarFields f;
  if (!localtime_::ToLocal(t, f)) {
    f = localtime_::CalendarFields{};
    f.nHour = f.nMinute = f.nSecond = -1;
  }
  if (dateOnly) return text::Widen(fmt::format("{:04}/{:02}/{:02}", f.nYear, f.nMonth, f.nDay));
  return text::Widen(
      fmt::format("{:04}/{:02}/{:02} {:02}:{:02}:{:02}", f.nYear, f.nMonth, f.nDay, f.nHour, f.nMinute, f.nSecond));
}

void CFSFile::TrimRuns(std::vector<UnitRun>& runs, uint64_t bytes, uint64_t unitBytes) {
  uint64_t left = unitBytes ? (bytes + unitBytes - 1) / unitBytes : 0;
  size_t kept = 0;
  for (; kept < runs.size() && left > 0; ++kept) {
    runs[kept].nCount = std::min(runs[kept].nCount, left);
    left -= runs[kept].nCount;
  }
  runs.resize(kept);
}

std::string ItemPath(const CDirEntry* item) {
  std::string path;
  for (const CDirEntry* n = item; n && n->m_pParent; n = n->m_pParent)
    path = text::ToUtf8(n->m_strName) + (path.empty() ? "" : "/" + path);
  return path;
}

std::u16string CDirEntry::GetFullPath() const { return GetRelativePath(nullptr); }

std::u16string CDirEntry::GetRelativePath(const CDirectory* stop) const {
  std::u16string path;
  const CDirEntry* n = this;
  while (n->m_pParent != stop && n->m_pParent != nullptr) {
    n = n->m_pParent;
    if (n->m_pDriver && n == n->m_pDriver->m_pRoot) {
      std::u16string root = n->m_pDriver->m_strRootText;
      if (root.empty() || root.back() != u'/') root += u'/';
      path.insert(0, root);
    } else {
      path.insert(0, n->m_strName + u"/");
    }
  }
  return path;
}

uint64_t CDirEntry::GetSize() { return m_nSize; }
uint64_t CDirEntry::GetAllocatedSize() { return m_nAllocatedSize; }

std::u16string CDirEntry::GetSizeText(bool detail) {
  if (IsDirectory()) return {};
  return FormatSizeText(m_nSize, detail);
}

std::u16string CDirEntry::GetAllocatedSizeText(bool detail) {
  if (IsDirectory()) return {};
  return FormatSizeText(m_nAllocatedSize, detail);
}

void CDirEntry::EvaluateStatus() { m_bStatusEvaluated = true; }

std::u16string CDirEntry::GetStatusText() {
  if (!m_bStatusEvaluated) EvaluateStatus();
  switch (m_nStatus) {
    case STATUS_POOR: return GetString("IDS_FILE_PROERITIES_STATUS_POOR", u"Poor");
    case STATUS_GOOD: return GetString("IDS_FILE_PROERITIES_STATUS_GOOD", u"Good");
    case STATUS_EXCELLENT: return GetString("IDS_FILE_PROERITIES_STATUS_EXCELLENT", u"Excellent");
    default: return GetString("IDS_FILE_PROERITIES_STATUS_EXIST", u"Existing");
  }
}

std::u16string CDirEntry::GetStatusReasonText() {
  if (!m_bStatusEvaluated) EvaluateStatus();
  return StatusReasonText(m_nStatusReason);
}

std::u16string StatusReasonText(StatusReason reason) {
  switch (reason) {
    case StatusReason::None: return {};
    case StatusReason::EmptyFile: return GetString("IDS_STATUS_REASON_EMPTY", u"empty file: nothing to lose");
    case StatusReason::HeaderMatches:
      return GetString("IDS_STATUS_REASON_HEADER_MATCHES", u"clusters free, header matches, length matches the size");
    case StatusReason::HeaderEndsEarly:
      return GetString("IDS_STATUS_REASON_ENDS_EARLY",
                       u"clusters free, header matches; its data ends before the recorded size");
    case StatusReason::NoHeaderCheck:
      return GetString("IDS_STATUS_REASON_NO_CHECK", u"clusters free; no header to check for this type");
    case StatusReason::HeaderOtherType:
      return GetString("IDS_STATUS_REASON_OTHER_TYPE", u"clusters free; the header found is of a related type");
    case StatusReason::HeaderMismatch:
      return GetString("IDS_STATUS_REASON_HEADER_MISMATCH",
                       u"no file of its type is found from its first cluster on");
    case StatusReason::ReadsPastItsEnd:
      return GetString("IDS_STATUS_REASON_PAST_END",
                       u"its format measures longer than the recorded size: fragmented or damaged");
    case StatusReason::FirstClusterInUse:
      return GetString("IDS_STATUS_REASON_FIRST_IN_USE", u"first cluster now used by another file");
    case StatusReason::ClusterInUse:
      return GetString("IDS_STATUS_REASON_CLUSTER_IN_USE",
                       u"fragmented: read as consecutive clusters, one of them now used by another file");
    case StatusReason::NoFirstCluster:
      return GetString("IDS_STATUS_REASON_NO_FIRST", u"no valid first cluster recorded");
    case StatusReason::PastVolumeEnd:
      return GetString("IDS_STATUS_REASON_PAST_VOLUME", u"file continues past the volume");
    case StatusReason::Unreadable: return GetString("IDS_STATUS_REASON_UNREADABLE", u"sector unreadable");
    case StatusReason::DataKeptInRecord:
      return GetString("IDS_STATUS_REASON_RESIDENT", u"data kept in the file record");
    case StatusReason::Compressed: return GetString("IDS_STATUS_REASON_COMPRESSED", u"compressed");
    case StatusReason::Encrypted:
      return GetString("IDS_STATUS_REASON_ENCRYPTED", u"encrypted: recovered only as stored");
    case StatusReason::RunsDamaged:
      return GetString("IDS_STATUS_REASON_RUNS", u"data runs damaged or incomplete");
    case StatusReason::DeletedFolder:
      return GetString("IDS_STATUS_REASON_FOLDER", u"deleted folder: its entries are read where they lie");
    case StatusReason::LostFolderGroup:
      return GetString("IDS_STATUS_REASON_GROUP", u"holds items whose folder is lost");
    case StatusReason::Carved:
      return GetString("IDS_STATUS_REASON_CARVED", u"found by its signature, length measured from its format");
    case StatusReason::SetChecksumMismatch:
      return GetString("IDS_STATUS_REASON_SET_CHECKSUM", u"entry set checksum does not match: its entries may be of two files");
    case StatusReason::ChainGoneReadInRow:
      return GetString("IDS_STATUS_REASON_CHAIN_GONE", u"FAT chain cleared: read as consecutive clusters");
    case StatusReason::LaterClusterInUse:
      return GetString("IDS_STATUS_REASON_LATER_IN_USE", u"a later cluster now used by another file");
    case StatusReason::SharesClusters:
      return GetString("IDS_STATUS_REASON_SHARED",
                       u"its clusters were already saved for another file (cross-linked entries of a damaged volume)");
  }
  return {};
}

std::u16string CDirEntry::GetCreatedText() const { return FormatTimeText(m_tCreated, false); }
std::u16string CDirEntry::GetModifiedText() const { return FormatTimeText(m_tModified, false); }
std::u16string CDirEntry::GetAccessedText() const { return FormatTimeText(m_tAccessed, !HasAccessTime(m_pDriver)); }

std::u16string CDirEntry::GetTypeText() const { return IsDirectory() ? g_strFolderTypeName : m_strExtension; }

CDirEntry* CDirectory::AddChild(std::unique_ptr<CDirEntry> child) {
  child->m_pParent = this;
  m_children.push_back(std::move(child));
  return m_children.back().get();
}

bool MatchNamePattern(std::u16string_view pattern, std::u16string_view name, bool matchCase) {
  size_t i = 0;
  for (size_t p = 0; p < pattern.size(); ++p) {
    char16_t pc = pattern[p];
    if (pc == u'*') {
      std::u16string_view rest = pattern.substr(p + 1);
      if (rest.empty()) return true;
      if (i >= name.size()) return false;
      for (size_t k = i; k < name.size(); ++k)
        if (MatchNamePattern(rest, name.substr(k), matchCase)) return true;
      return false;
    }
    if (i >= name.size()) return false;
    char16_t nc = name[i];
    if (pc == u'?' || pc == nc || (!matchCase && Upper(pc) == Upper(nc))) {
      ++i;
      continue;
    }
    return false;
  }
  return i == name.size();
}

bool CDirectory::Search(const SearchCriteria* criteria, IProgressWindow* resultWindow, uint32_t& counter, int depth) {
  if (!criteria) return true;
  if (!m_bLoaded) LoadChildren(true, true, true);
  for (size_t idx = 0; idx < m_children.size(); ++idx) {
    if (resultWindow && IsDialogStopSignalled()) return false;
    CDirEntry* child = m_children[idx].get();
    if (!child) continue;
    if (child->m_pDriver && child == child->m_pDriver->m_pLostFolder) continue;
    bool match = MatchNamePattern(criteria->strPattern, child->m_strName, criteria->bMatchCase);
    if (match && criteria->bSizeFilter)
      match = uint64_t(criteria->nSizeLow) < child->m_nSize && child->m_nSize < uint64_t(criteria->nSizeHigh);
    if (match && criteria->bDateFilter) {
      int64_t t = criteria->nDateKind == 0 ? child->m_tCreated : criteria->nDateKind == 1 ? child->m_tModified : 0;
      match = criteria->tDateLow < t && t < criteria->tDateHigh;
    }
    if (match && resultWindow) {
      SendProgress(resultWindow, WM_SEARCHHIT, counter, reinterpret_cast<int64_t>(child));
      ++counter;
    } else if (match) {
      ++counter;
    }
    if (child->IsDirectory() && resultWindow && criteria->bSubfolders && depth + 1 < kMaxFolderDepth) {
      if (!static_cast<CDirectory*>(child)->Search(criteria, resultWindow, counter, depth + 1)) return false;
    }
  }
  if (resultWindow && IsDialogStopSignalled()) return false;
  return true;
}

int64_t CDirectory::CountFiles(IProgressWindow* progress, int depth) {
  if (!m_bLoaded) LoadChildren(true, true, true);
  int64_t sum = 0;
  for (size_t idx = 0; idx < m_children.size(); ++idx) {
    if (progress && IsPageStopSignalled()) return -1;
    CDirEntry* child = m_children[idx].get();
    if (!child) continue;
    if (child->IsDirectory()) {
      // The save does not enter folders this deep either.
      if (depth + 1 >= kMaxFolderDepth) continue;
      int64_t n = static_cast<CDirectory*>(child)->CountFiles(progress, depth + 1);
      if (n < 0) return -1;
      sum += n;
    } else {
      ++sum;
    }
  }
  return sum;
}

bool SizeAscending(CDirEntry* a, CDirEntry* b) {
  bool fa = a->IsDirectory(), fb = b->IsDirectory();
  if (fa != fb) return fa;
  return a->GetSize() < b->GetSize();
}

bool SizeDescending(CDirEntry* a, CDirEntry* b) {
  bool fa = a->IsDirectory(), fb = b->IsDirectory();
  if (fa != fb) return !fa;
  return a->GetSize() > b->GetSize();
}

bool StatusDescending(const CDirEntry* a, const CDirEntry* b) {
  bool fa = a->IsDirectory(), fb = b->IsDirectory();
  if (fa != fb) return fa;
  return a->m_nStatus > b->m_nStatus;
}

bool StatusAscending(const CDirEntry* a, const CDirEntry* b) {
  bool fa = a->IsDirectory(), fb = b->IsDirectory();
  if (fa != fb) return !fa;
  return a->m_nStatus < b->m_nStatus;
}
