#include "platform/SameDisk.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

std::string WholeDiskOf(dev_t dev) {
  std::string link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  char buf[PATH_MAX];
  if (!::realpath(link.c_str(), buf)) return {};
  std::string real = buf;
  struct stat st {};
  // A partition's sysfs folder holds a "partition" file and sits inside its disk's folder.
  if (::stat((real + "/partition").c_str(), &st) == 0) real = real.substr(0, real.rfind('/'));
  return real.substr(real.rfind('/') + 1);
}

namespace {
// A mountinfo field with its octal escapes (\040 for a blank, \011, \012, \134) undone.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += char((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// The mount source (a device path such as /dev/sda2) of the mount whose device number is
// dev, from /proc/self/mountinfo: "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE ...".
std::string MountSourceOf(dev_t dev) {
  std::ifstream in("/proc/self/mountinfo");
  const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    if (f.size() < 3 || f[2] != want) continue;
    for (size_t i = 6; i + 2 < f.size(); ++i)
      if (f[i] == "-") return Unescape(f[i + 2]);
  }
  return {};
}
}  // namespace

std::string WholeDiskOfPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::string disk = WholeDiskOf(st.st_dev);
  if (!disk.empty()) return disk;
  // btrfs and similar file systems report an anonymous device number; their mount source
  // names the block device.
  std::string source = MountSourceOf(st.st_dev);
  struct stat src {};
  if (source.empty() || source[0] != '/' || ::stat(source.c_str(), &src) != 0 || !S_ISBLK(src.st_mode)) return {};
  return WholeDiskOf(src.st_rdev);
}

std::string NearestExistingPath(const std::string& path) {
  std::string p = path;
  while (!p.empty()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) return p;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    p = slash == 0 ? "/" : p.substr(0, slash);
  }
  return p;
}

bool IsOnSameDisk(const std::string& folder, const std::string& sourcePath) {
  struct stat src {};
  if (folder.empty() || ::stat(sourcePath.c_str(), &src) != 0) return false;
  // An image file: writing elsewhere never overwrites its contents.
  if (!S_ISBLK(src.st_mode)) return false;
  std::string a = WholeDiskOfPath(NearestExistingPath(folder)), b = WholeDiskOf(src.st_rdev);
  return !a.empty() && a == b;
}
