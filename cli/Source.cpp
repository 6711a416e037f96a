#include "cli/Source.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/Enumerate.h"

CLogicalDriver* OpenDiskAsVirtualVolume(CKelvoDoc& doc, const std::string& path, std::string* error) {
  if (!doc.AddDiskImage(path, error)) return nullptr;
  doc.EnumerateVirtualVolumes();
  for (const auto& v : doc.VirtualVolumes())
    if (v->m_source.strPath == path) return v.get();
  if (error) *error = path + ": cannot be opened as a disk";
  return nullptr;
}

namespace {
// The whole disk ("sda") that holds a block device number, from sysfs.
std::string WholeDiskOf(dev_t dev) {
  std::string link = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  char buf[PATH_MAX];
  if (!::realpath(link.c_str(), buf)) return {};
  std::string real = buf;
  struct stat st {};
  if (::stat((real + "/partition").c_str(), &st) == 0) real = real.substr(0, real.rfind('/'));
  return real.substr(real.rfind('/') + 1);
}
}  // namespace

bool IsOnSameDisk(const std::string& folder, const std::string& sourcePath) {
  struct stat dst {}, src {};
  if (::stat(folder.c_str(), &dst) != 0 || ::stat(sourcePath.c_str(), &src) != 0) return false;
  if (S_ISBLK(src.st_mode)) {
    std::string a = WholeDiskOf(dst.st_dev), b = WholeDiskOf(src.st_rdev);
    return !a.empty() && a == b;
  }
  // An image file: writing elsewhere never overwrites its contents.
  return false;
}
