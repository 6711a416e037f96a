#include "platform/TempFiles.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tempfiles {
namespace {

// Paths kept in plain arrays so that a signal handler can remove them without
// allocating.
char g_paths[kReservedCount][PATH_MAX];
volatile sig_atomic_t g_nPaths = 0;

void UnlinkAll() {
  int n = g_nPaths;
  for (int i = 0; i < n; ++i)
    if (g_paths[i][0]) ::unlink(g_paths[i]);
}

void OnFatalSignal(int sig) {
  UnlinkAll();
  g_nPaths = 0;
  std::signal(sig, SIG_DFL);
  ::raise(sig);
}

void OnExit() { UnlinkAll(); }

}  // namespace

std::string TempDirectory() {
  const char* t = std::getenv("TMPDIR");
  struct stat st {};
  if (t && *t && ::stat(t, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string d = t;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
  }
  return "/tmp";
}

CReservedTempNames::~CReservedTempNames() { Release(); }

bool CReservedTempNames::Reserve(const std::string& directory) {
  static bool s_bAtExit = false;
  if (!s_bAtExit) {
    std::atexit(OnExit);
    s_bAtExit = true;
  }
  Release();
  m_strDirectory = directory;
  for (int i = 0; i < kReservedCount; ++i) {
    std::string templ = directory + "/~DFXXXXXX.tmp";
    if (templ.size() >= PATH_MAX) return false;
    int fd = ::mkstemps(templ.data(), 4);
    if (fd < 0) return false;
    ::close(fd);
    std::strcpy(g_paths[i], templ.c_str());
    g_nPaths = i + 1;
    // The stem: the text after the last '/' and before the first '.'. It keeps its
    // case: the names live on case-sensitive file systems.
    std::string name = templ.substr(templ.rfind('/') + 1);
    m_stems[static_cast<size_t>(i)] = name.substr(0, name.find('.'));
    m_nCount = i + 1;
  }
  return true;
}

void CReservedTempNames::Release() {
  UnlinkAll();
  for (int i = 0; i < kReservedCount; ++i) g_paths[i][0] = '\0';
  g_nPaths = 0;
  for (auto& s : m_stems) s.clear();
  m_nCount = 0;
}

void RemoveReservedFilesNow() { UnlinkAll(); }

void InstallCleanupHandlers() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV}) {
    struct sigaction sa {};
    sa.sa_handler = OnFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    sigaction(sig, &sa, nullptr);
  }
}

}  // namespace tempfiles
