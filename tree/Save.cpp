#include "tree/Save.h"

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <fmt/format.h>

#include "device/Driver.h"
#include "platform/Text.h"
#include "tasks/StopEvents.h"
#include "platform/Sha256.h"
#include "tree/OutputFile.h"
#include "tree/SaveReport.h"

namespace {

// Whether dirFd holds an entry called name (not following a link).
bool Exists(int dirFd, const std::string& name, bool* isDir = nullptr) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (isDir) *isDir = S_ISDIR(st.st_mode);
  return true;
}

void Fail(ISavePrompts* prompts, SaveRunState& state, const std::string& path, const std::string& why) {
  state.failed.push_back(path);
  if (prompts) prompts->ReportError(path + ": " + why);
}

// A folder that could not be made or entered: failed, and in the report.
void FailFolder(ISavePrompts* prompts, SaveRunState& state, const CDirEntry& folder, const std::string& path,
                const std::string& why) {
  Fail(prompts, state, path, why);
  if (state.pReport) state.pReport->FolderFailed(folder, path, why);
}

// A file that failed before anything of it was written.
void FailFile(ISavePrompts* prompts, SaveRunState& state, CFSFile& file, const std::string& path,
              const std::string& why) {
  Fail(prompts, state, path, why);
  if (state.pReport) {
    SaveOutcome outcome;
    outcome.kind = SaveOutcome::Failed;
    outcome.strError = why;
    state.pReport->File(file, path, outcome);
  }
}

// Creates (truncating) name in dirFd for writing, never through a symbolic link.
int CreateFileAt(int dirFd, const std::string& name) {
  return ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Writes a file node into an open descriptor.
class CFdOutputFile final : public IOutputFile {
 public:
  // With sha, what is written is hashed as it goes (the report's digest).
  CFdOutputFile(int fd, CSha256* sha) : m_fd(fd), m_pSha(sha) {}
  bool Write(const void* data, size_t len) override {
    if (m_pSha) m_pSha->Update(data, len);
    m_nWritten += len;
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
      ssize_t n = ::write(m_fd, p, len);
      if (n < 0) {
        if (errno == EINTR) continue;
        m_nErrno = errno;
        return false;
      }
      p += n;
      len -= size_t(n);
    }
    m_bSizePending = false;
    return true;
  }
  // Zeros become a hole: the offset moves on without writing, and Finish gives the file
  // its length when it ends in one.
  bool WriteZeros(uint64_t n) override {
    if (n == 0) return true;
    if (n > uint64_t(INT64_MAX) || ::lseek(m_fd, off_t(n), SEEK_CUR) < 0) {
      m_nErrno = errno ? errno : EFBIG;
      return false;
    }
    if (m_pSha) m_pSha->UpdateZeros(n);
    m_nWritten += n;
    m_bSizePending = true;
    return true;
  }
  bool Finish() {
    if (!m_bSizePending) return true;
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    if (end >= 0 && ::ftruncate(m_fd, end) == 0) return true;
    m_nErrno = errno;
    return false;
  }
  int m_fd;
  CSha256* m_pSha;
  int m_nErrno = 0;
  bool m_bSizePending = false;
  uint64_t m_nWritten = 0;  // bytes written and holes made
};

// The item's modification and access times as futimens/utimensat take them; a time the
// file system did not give (0) leaves that one as the write made it.
void ItemTimes(const CDirEntry& item, struct timespec times[2]) {
  times[0] = {time_t(item.m_tAccessed), 0};
  times[1] = {time_t(item.m_tModified), 0};
  if (item.m_tAccessed == 0) times[0].tv_nsec = UTIME_OMIT;
  if (item.m_tModified == 0) times[1].tv_nsec = UTIME_OMIT;
}

std::string Mib(uint64_t bytes) {
  if (bytes < (1u << 20)) return fmt::format("{:.0f} KiB", double(bytes) / 1024.0);
  return fmt::format("{:.1f} MiB", double(bytes) / 1048576.0);
}

// Whether the file fits: within the run's output limit, and leaving the destination's file
// system its margin. Otherwise sets the reason the run ends and reports it.
// The bytes a file can put on the destination: its size, but never more than its volume holds
// (a damaged entry may claim far more; what cannot be read is not written).
uint64_t WritableBytes(const CFSFile& file) {
  const uint64_t volume = file.m_pDriver ? file.m_pDriver->GetTotalBytes() : 0;
  return volume ? std::min<uint64_t>(file.m_nSize, volume) : file.m_nSize;
}

bool RoomFor(const CFSFile& file, int dirFd, const std::string& path, ISavePrompts* prompts, SaveRunState& state) {
  const uint64_t size = WritableBytes(file);
  if (state.nOutputLimit && (size > state.nOutputLimit || state.nBytesWritten > state.nOutputLimit - size)) {
    state.strEndReason = fmt::format(
        "stopped before {}: the files written ({}) would pass {}, four times the size of the volume they come from; "
        "its entries probably share clusters (a damaged volume). Use --no-output-limit to write on",
        path, Mib(state.nBytesWritten), Mib(state.nOutputLimit));
  } else {
    struct statvfs vfs {};
    if (::fstatvfs(dirFd, &vfs) != 0) return true;  // no figures: the write itself will tell
    const uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    const uint64_t total = uint64_t(vfs.f_blocks) * unit, free = uint64_t(vfs.f_bavail) * unit;
    const uint64_t margin = DestinationMargin(total);
    if (free >= margin && size <= free - margin) return true;
    state.strEndReason = fmt::format(
        "stopped before {} ({}): the destination has {} free and keeps {} free; free some space or choose "
        "another destination",
        path, Mib(size), Mib(free), Mib(margin));
  }
  if (prompts) prompts->ReportError(state.strEndReason);
  return false;
}

// Whether some of the file's units were written for another file of this run; records its
// units as written.
bool SharesWrittenUnits(CFSFile& file, SaveRunState& state) {
  if (!file.m_pDriver) return false;
  std::vector<UnitRun> runs;
  file.DataUnits(runs);
  auto& written = state.writtenUnits[file.m_pDriver];
  bool shared = false;
  for (const UnitRun& r : runs) {
    if (r.nCount == 0) continue;
    uint64_t from = r.nUnit, to = r.nUnit + r.nCount < r.nUnit ? UINT64_MAX : r.nUnit + r.nCount;
    // The ranges kept are disjoint and merged: look at the one before and those inside.
    auto it = written.upper_bound(from);
    if (it != written.begin() && std::prev(it)->second > from) --it;
    while (it != written.end() && it->first < to) {
      shared = true;
      from = std::min(from, it->first);
      to = std::max(to, it->second);
      it = written.erase(it);
    }
    if (it != written.begin() && std::prev(it)->second == from) {
      from = std::prev(it)->first;
      written.erase(std::prev(it));
    }
    if (it != written.end() && it->first == to) {
      to = it->second;
      written.erase(it);
    }
    written[from] = to;
  }
  return shared;
}

bool WriteFileAt(CFSFile& file, int dirFd, const std::string& name, const std::string& path, IProgressWindow* progress,
                 ISavePrompts* prompts, SaveRunState& state) {
  if (SharesWrittenUnits(file, state)) {
    file.GetStatusText();  // its own status first, which the reason then overrides
    file.m_nStatusReason = StatusReason::SharesClusters;
    ++state.nSharedFiles;
  }
  if (!RoomFor(file, dirFd, path, prompts, state)) {
    if (state.pReport) {
      SaveOutcome outcome;
      outcome.kind = SaveOutcome::Failed;
      outcome.strError = "not written: " + state.strEndReason;
      state.pReport->File(file, path, outcome);
    }
    return false;
  }
  int fd = CreateFileAt(dirFd, name);
  if (fd < 0) {
    FailFile(prompts, state, file, path, std::strerror(errno));
    return true;
  }
  std::optional<CSha256> sha;
  if (state.pReport) sha.emplace();
  CFdOutputFile out(fd, sha ? &*sha : nullptr);
  bool ok = file.WriteContent(out, progress, 0) && out.Finish();
  // A recovered file keeps the times its file system recorded (set last: the writes above
  // would move them again).
  struct timespec times[2];
  ItemTimes(file, times);
  (void)::futimens(fd, times);
  int closeErr = ::close(fd) == 0 ? 0 : errno;
  state.nBytesWritten += WritableBytes(file);
  const int writeErr = out.m_nErrno ? out.m_nErrno : closeErr;
  // The report's line for this file, once its end is known.
  auto report = [&](SaveOutcome::Kind kind, const std::string& why) {
    if (!state.pReport) return;
    SaveOutcome outcome;
    outcome.kind = kind;
    outcome.strError = why;
    outcome.nBytesWritten = out.m_nWritten;
    outcome.strSha256 = sha->FinalHex();
    outcome.unreadable = out.Unreadable();
    state.pReport->File(file, path, outcome);
  };
  if (writeErr == ENOSPC || writeErr == EDQUOT) {
    // The destination filled up under the write (another program wrote there too): this
    // file is incomplete, and every later one would fail the same way.
    Fail(prompts, state, path, "the destination is full; the file is incomplete");
    report(SaveOutcome::Incomplete, "the destination is full; the file is incomplete");
    state.strEndReason = "stopped: the destination is full; free some space or choose another destination";
    if (prompts) prompts->ReportError(state.strEndReason);
    return false;
  }
  if (progress && IsPageStopSignalled()) {
    report(SaveOutcome::Incomplete, "stopped while it was being written; the file is incomplete");
    return false;
  }
  // A source that stopped answering ends the run here, with what was written kept,
  // instead of a failure for every file left.
  const CDriver* volume = file.m_pDriver;
  const bool gone = volume && volume->m_hDevice && volume->m_hDevice->IsGone();
  if (!ok || closeErr) {
    std::string why = writeErr ? std::strerror(writeErr)
                      : gone     ? "the source stopped answering (unplugged?); the file is incomplete"
                                 : "the data could not all be read from the source; the file is incomplete";
    Fail(prompts, state, path, why);
    report(out.m_nWritten ? SaveOutcome::Incomplete : SaveOutcome::Failed, why);
  } else if (!out.Unreadable().empty()) {
    uint64_t bytes = 0;
    for (const auto& r : out.Unreadable()) bytes += r.nLength;
    const std::string why = fmt::format("{} byte(s) could not be read from the source ({}); written as zeros there",
                                        bytes, UnreadableRangesText(out.Unreadable()));
    Fail(prompts, state, path, why);
    report(SaveOutcome::Incomplete, why);
  } else {
    state.written.push_back(path);
    report(SaveOutcome::Whole, {});
  }
  if (gone) {
    state.bSourceGone = true;
    return false;
  }
  return true;
}
}  // namespace

uint64_t CReadHints::Hint(CDirEntry* item) {
  auto* file = item && !item->IsDirectory() ? dynamic_cast<CFSFile*>(item) : nullptr;
  auto* volume = file ? dynamic_cast<CLogicalDriver*>(file->m_pDriver) : nullptr;
  if (!volume || !volume->m_hDevice || !volume->m_hDevice->TakesReadHints()) return 0;
  const uint64_t unitBytes = volume->m_nBytesPerCluster;
  if (unitBytes == 0) return 0;
  file->DataUnits(m_runs);
  CFSFile::TrimRuns(m_runs, kLeadBytes, unitBytes);
  m_ranges.clear();
  uint64_t bytes = 0;
  for (const UnitRun& r : m_runs) {
    // TrimRuns keeps at most kLeadBytes of units: no product here overflows.
    m_ranges.push_back({volume->UnitByteOffset(r.nUnit), r.nCount * unitBytes});
    bytes += r.nCount * unitBytes;
  }
  if (!m_ranges.empty()) volume->m_hDevice->WillRead(m_ranges.data(), m_ranges.size());
  return bytes;
}

uint64_t DestinationMargin(uint64_t fileSystemBytes) { return std::min<uint64_t>(fileSystemBytes / 100, 100u << 20); }

std::string SafeFileName(const std::u16string& name) {
  std::u16string n = name;
  for (auto& c : n)
    if (c == u'/' || c == 0) c = u'_';
  if (n.empty()) n = u"_";
  if (n == u"." || n == u"..") n = u"_" + n;
  std::string utf8 = text::ToUtf8(n);
  // Names on Linux hold at most 255 bytes, and NTFS names of 255 characters can be longer
  // in UTF-8: keep the start of the name and its extension, cut at a character boundary.
  constexpr size_t kMaxName = 255;
  if (utf8.size() <= kMaxName) return utf8;
  size_t dot = utf8.rfind('.');
  std::string ext = (dot != std::string::npos && dot > 0 && utf8.size() - dot <= 32) ? utf8.substr(dot) : "";
  std::string stem = utf8.substr(0, utf8.size() - ext.size());
  size_t cut = kMaxName - ext.size();
  while (cut > 0 && (uint8_t(stem[cut]) & 0xC0) == 0x80) --cut;
  return stem.substr(0, cut) + ext;
}

int OpenDestination(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && error) *error = path + ": " + std::strerror(errno);
  return fd;
}

// The first of "NAME (2)", "NAME (3)", ... that dirFd does not hold.
std::string FreeName(int dirFd, const std::string& name) {
  for (int k = 2;; ++k) {
    std::string candidate = fmt::format("{} ({})", name, k);
    if (!Exists(dirFd, candidate)) return candidate;
  }
}

bool SaveFileTo(CFSFile& file, int dirFd, const std::string& dirPath, IProgressWindow* progress, ISavePrompts* prompts,
                SaveRunState& state) {
  std::string name = SafeFileName(file.m_strName);
  bool isDir = false;
  if (!state.bOverwriteAllFiles && Exists(dirFd, name, &isDir)) {
    if (!prompts || state.bKeepAllExisting) return true;
    switch (prompts->AskOverwriteFile(file.m_strName)) {
      case SaveAnswer::No: return true;
      case SaveAnswer::NoToAll: state.bKeepAllExisting = true; return true;
      case SaveAnswer::YesToAll: state.bOverwriteAllFiles = true; break;
      case SaveAnswer::Yes: break;
      case SaveAnswer::KeepBoth: name = FreeName(dirFd, name); break;
    }
  }
  return WriteFileAt(file, dirFd, name, dirPath + "/" + name, progress, prompts, state);
}

bool SaveFolderTo(CDirectory& folder, int dirFd, const std::string& dirPath, IProgressWindow* progress,
                  ISavePrompts* prompts, SaveRunState& state, int depth) {
  std::string name = SafeFileName(folder.m_strName);
  bool isDir = false;
  if (!state.bReplaceAllFolders && Exists(dirFd, name, &isDir) && isDir) {
    if (state.bKeepAllExisting) return true;
    SaveAnswer a = prompts ? prompts->AskReplaceFolder(folder.m_strName) : SaveAnswer::No;
    switch (a) {
      case SaveAnswer::No: state.bOverwriteAllFiles = false; return true;
      case SaveAnswer::NoToAll: state.bKeepAllExisting = true; return true;
      case SaveAnswer::Yes: state.bOverwriteAllFiles = true; break;
      case SaveAnswer::YesToAll: state.bReplaceAllFolders = state.bOverwriteAllFiles = true; break;
      case SaveAnswer::KeepBoth: name = FreeName(dirFd, name); break;
    }
  }
  std::string path = dirPath + "/" + name;
  if (!folder.m_bLoaded) folder.LoadChildren(true, true, true);
  ::mkdirat(dirFd, name.c_str(), 0755);  // an existing folder is fine
  int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub < 0) {
    FailFolder(prompts, state, folder, path, std::strerror(errno));
    return true;
  }
  bool result = true;
  // Two items of one folder may carry the same name (a deleted file beside a newer one
  // of its name, or two deleted names that lost the same first character): the later
  // one is written as "NAME (2)", so no recovered file replaces another of the run.
  std::set<std::string> used;
  auto unique = [&used](std::string n) {
    if (used.insert(n).second) return n;
    for (int k = 2;; ++k) {
      std::string candidate = fmt::format("{} ({})", n, k);
      if (used.insert(candidate).second) return candidate;
    }
  };
  CReadHints hints;
  for (size_t i = 0; i < folder.m_children.size(); ++i) {
    if (progress && IsPageStopSignalled()) {
      result = false;
      break;
    }
    hints.Before(i, folder.m_children.size(), [&folder](size_t k) { return folder.m_children[k].get(); });
    CDirEntry* child = folder.m_children[i].get();
    if (!child) continue;
    if (child->IsDirectory()) {
      // A results folder holding nothing (no deep scan was run, no orphan was found) is
      // not made in the destination.
      auto* childFolder = static_cast<CDirectory*>(child);
      if (childFolder->m_bResultsFolder) {
        if (!childFolder->m_bLoaded) childFolder->LoadChildren(true, true, true);
        if (childFolder->m_children.empty()) continue;
      }
      if (depth + 1 >= kMaxFolderDepth) {
        FailFolder(prompts, state, *child, path + "/" + SafeFileName(child->m_strName), "folders nested too deeply");
        continue;
      }
      if (!SaveFolderTo(*static_cast<CDirectory*>(child), sub, path, progress, prompts, state, depth + 1)) {
        result = false;
        break;
      }
    } else {
      std::string childName = unique(SafeFileName(child->m_strName));
      if (!WriteFileAt(*static_cast<CFSFile*>(child), sub, childName, path + "/" + childName, progress, prompts,
                       state)) {
        result = false;
        break;
      }
    }
  }
  ::close(sub);
  // The folder keeps its times too, set after its items were written into it.
  struct timespec times[2];
  ItemTimes(folder, times);
  (void)::utimensat(dirFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
  return result;
}
