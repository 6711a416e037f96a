#include "platform/DataDirectory.h"

#include <climits>
#include <filesystem>
#include <system_error>
#include <unistd.h>

// The data folder relative to the programs' folder; the build derives it from the install
// directories it uses.
#ifndef QUARROW_DATA_FROM_BIN
#define QUARROW_DATA_FROM_BIN "../share/quarrow"
#endif

namespace datadir {

std::string ProgramDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

std::string DataDirectoryFor(const std::string& programDirectory) {
  namespace fs = std::filesystem;
  // The program's own path has its links resolved, so ".." is its real parent and the
  // lexical form is the one that exists.
  fs::path installed = (fs::path(programDirectory) / QUARROW_DATA_FROM_BIN).lexically_normal();
  std::error_code ec;
  if (fs::is_directory(installed, ec)) {
    std::string s = installed.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  }
  return programDirectory;
}

std::string DataDirectory() { return DataDirectoryFor(ProgramDirectory()); }

}  // namespace datadir
