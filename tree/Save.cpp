#include "tree/Save.h"

#include <cerrno>
#include <cstdint>
#include <set>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fmt/format.h>

#include "device/Driver.h"
#include "platform/Text.h"
#include "tasks/StopEvents.h"
#include "tree/OutputFile.h"

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

// Creates (truncating) name in dirFd for writing, never through a symbolic link.
int CreateFileAt(int dirFd, const std::string& name) {
  return ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Writes a file node into an open descriptor.
class CFdOutputFile final : public IOutputFile {
 public:
  explicit CFdOutputFile(int fd) : m_fd(fd) {}
  bool Write(const void* data, size_t len) override {
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
  int m_nErrno = 0;
  bool m_bSizePending = false;
};

// The item's modification and access times as futimens/utimensat take them; a time the
// file system did not give (0) leaves that one as the write made it.
void ItemTimes(const CDirEntry& item, struct timespec times[2]) {
  times[0] = {time_t(item.m_tAccessed), 0};
  times[1] = {time_t(item.m_tModified), 0};
  if (item.m_tAccessed == 0) times[0].tv_nsec = UTIME_OMIT;
  if (item.m_tModified == 0) times[1].tv_nsec = UTIME_OMIT;
}

bool WriteFileAt(CFSFile& file, int dirFd, const std::string& name, const std::string& path, IProgressWindow* progress,
                 ISavePrompts* prompts, SaveRunState& state) {
  int fd = CreateFileAt(dirFd, name);
  if (fd < 0) {
    Fail(prompts, state, path, std::strerror(errno));
    return true;
  }
  CFdOutputFile out(fd);
  bool ok = file.WriteContent(out, progress, 0) && out.Finish();
  // A recovered file keeps the times its file system recorded (set last: the writes above
  // would move them again).
  struct timespec times[2];
  ItemTimes(file, times);
  (void)::futimens(fd, times);
  int closeErr = ::close(fd) == 0 ? 0 : errno;
  if (progress && IsPageStopSignalled()) return false;
  // A source that stopped answering ends the run here, with what was written kept,
  // instead of a failure for every file left.
  const CDriver* volume = file.m_pDriver;
  const bool gone = volume && volume->m_hDevice && volume->m_hDevice->IsGone();
  if (!ok || closeErr) {
    std::string why = out.m_nErrno ? std::strerror(out.m_nErrno)
                      : closeErr  ? std::strerror(closeErr)
                      : gone      ? "the source stopped answering (unplugged?); the file is incomplete"
                                  : "the data could not all be read from the source; the file is incomplete";
    Fail(prompts, state, path, why);
  } else if (!out.Unreadable().empty()) {
    uint64_t bytes = 0;
    for (const auto& r : out.Unreadable()) bytes += r.nLength;
    Fail(prompts, state, path,
         fmt::format("{} byte(s) could not be read from the source ({}); written as zeros there", bytes,
                     UnreadableRangesText(out.Unreadable())));
  } else {
    state.written.push_back(path);
  }
  if (gone) {
    state.bSourceGone = true;
    return false;
  }
  return true;
}
}  // namespace

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

bool SaveFileTo(CFSFile& file, int dirFd, const std::string& dirPath, IProgressWindow* progress, ISavePrompts* prompts,
                SaveRunState& state) {
  std::string name = SafeFileName(file.m_strName);
  std::string path = dirPath + "/" + name;
  bool isDir = false;
  if (!state.bOverwriteAllFiles && Exists(dirFd, name, &isDir)) {
    if (!prompts) return true;
    switch (prompts->AskOverwriteFile(file.m_strName)) {
      case SaveAnswer::No: return true;
      case SaveAnswer::YesToAll: state.bOverwriteAllFiles = true; break;
      case SaveAnswer::Yes: break;
    }
  }
  return WriteFileAt(file, dirFd, name, path, progress, prompts, state);
}

bool SaveFolderTo(CDirectory& folder, int dirFd, const std::string& dirPath, IProgressWindow* progress,
                  ISavePrompts* prompts, SaveRunState& state, int depth) {
  std::string name = SafeFileName(folder.m_strName);
  std::string path = dirPath + "/" + name;
  bool isDir = false;
  if (!state.bReplaceAllFolders && Exists(dirFd, name, &isDir) && isDir) {
    SaveAnswer a = prompts ? prompts->AskReplaceFolder(folder.m_strName) : SaveAnswer::No;
    switch (a) {
      case SaveAnswer::No: state.bOverwriteAllFiles = false; return true;
      case SaveAnswer::Yes: state.bOverwriteAllFiles = true; break;
      case SaveAnswer::YesToAll: state.bReplaceAllFolders = state.bOverwriteAllFiles = true; break;
    }
  }
  if (!folder.m_bLoaded) folder.LoadChildren(true, true, true);
  ::mkdirat(dirFd, name.c_str(), 0755);  // an existing folder is fine
  int sub = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (sub < 0) {
    Fail(prompts, state, path, std::strerror(errno));
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
  for (size_t i = 0; i < folder.m_children.size(); ++i) {
    if (progress && IsPageStopSignalled()) {
      result = false;
      break;
    }
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
        Fail(prompts, state, path + "/" + SafeFileName(child->m_strName), "folders nested too deeply");
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
