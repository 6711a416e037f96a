#include "tasks/RecoveryRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>

#include "device/Driver.h"
#include "tasks/StopEvents.h"

bool MakeFolderPath(const std::string& path, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = path + ": " + std::strerror(ENOTDIR);
    return false;
  }
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = prefix + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + ": " + std::strerror(ENOTDIR);
    return false;
  }
  return true;
}

namespace {
// Makes the folder when it is missing (its parent must exist); false with *error.
bool MakeFolder(const std::string& dir, std::string* error) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *error = dir + ": not a folder";
    return false;
  }
  if (::mkdir(dir.c_str(), 0755) != 0) {
    *error = dir + ": cannot create the folder: " + std::strerror(errno);
    return false;
  }
  return true;
}
}  // namespace

CRecoveryRun::CRecoveryRun(std::vector<CDirEntry*> items, std::string destination, DestinationPolicy policy)
    : m_items(std::move(items)), m_strDestination(std::move(destination)), m_policy(policy) {}

CRecoveryRun::~CRecoveryRun() {
  if (m_dirFd >= 0) ::close(m_dirFd);
}

bool CRecoveryRun::CountFiles(IProgressWindow* progress) {
  int64_t total = 0;
  for (CDirEntry* item : m_items) {
    if (!item) continue;
    if (!item->IsDirectory()) {
      ++total;
      continue;
    }
    const int64_t n = static_cast<CDirectory*>(item)->CountFiles(progress);
    if (n < 0) {
      m_result.bStopped = true;
      return false;
    }
    total += n;
  }
  m_result.nTotalFiles = total;
  return true;
}

bool CRecoveryRun::OpenDestination() {
  std::string error;
  bool made = true;
  switch (m_policy) {
    case DestinationPolicy::MustExist: break;
    case DestinationPolicy::CreateFolder: made = MakeFolder(m_strDestination, &error); break;
    case DestinationPolicy::CreatePath: made = MakeFolderPath(m_strDestination, &error); break;
  }
  if (made && m_dirFd < 0) m_dirFd = ::OpenDestination(m_strDestination, &error);
  if (!made || m_dirFd < 0) {
    m_result.strDestinationError = error;
    return false;
  }
  return true;
}

bool CRecoveryRun::Save(IProgressWindow* progress, ISavePrompts* prompts) {
  if (m_dirFd < 0 && !OpenDestination()) return false;
  SaveRunState state;
  state.nOutputLimit = m_nOutputLimit;
  state.pReport = m_pReport;
  if (!m_bLimitSet)
    for (CDirEntry* item : m_items)
      if (item && item->m_pDriver) state.nOutputLimit = std::max(state.nOutputLimit, 4 * item->m_pDriver->GetTotalBytes());
  CReadHints hints;
  for (size_t i = 0; i < m_items.size(); ++i) {
    // Nothing more is created once a stop was asked for.
    if (progress && IsPageStopSignalled()) {
      m_result.bStopped = true;
      break;
    }
    hints.Before(i, m_items.size(), [this](size_t k) { return m_items[k]; });
    CDirEntry* item = m_items[i];
    if (!item) continue;
    bool go = true;  // false: the run must end (stopped)
    if (item->IsDirectory())
      go = SaveFolderTo(*static_cast<CDirectory*>(item), m_dirFd, m_strDestination, progress, prompts, state);
    else if (auto* file = dynamic_cast<CFSFile*>(item))
      go = SaveFileTo(*file, m_dirFd, m_strDestination, progress, prompts, state);
    if (!go) {
      m_result.bStopped = state.strEndReason.empty();
      break;
    }
  }
  m_result.strEndReason = state.strEndReason;
  m_result.nBytesWritten = state.nBytesWritten;
  m_result.nSharedFiles = state.nSharedFiles;
  m_result.bSourceGone = state.bSourceGone;
  m_result.written.insert(m_result.written.end(), state.written.begin(), state.written.end());
  m_result.failed.insert(m_result.failed.end(), state.failed.begin(), state.failed.end());
  return !m_result.bStopped && m_result.strEndReason.empty();
}
