#include "platform/Enumerate.h"

#include <algorithm>
#include <blkid/blkid.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/DeviceAccess.h"
#include "platform/Text.h"
#include "platform/RawDevice.h"
#include "platform/VolumeProbe.h"

namespace enumerate {
namespace {

std::string ReadSysText(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  size_t b = s.find_first_not_of(" \t\n");
  size_t e = s.find_last_not_of(" \t\n");
  if (b == std::string::npos) return {};
  return s.substr(b, e - b + 1);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool IsListedDiskName(const std::string& n) {
  static const char* prefixes[] = {"sd", "nvme", "mmcblk", "vd", "xvd", "hd", "loop"};
  for (const char* p : prefixes)
    if (n.rfind(p, 0) == 0) return true;
  return false;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Probes path with libblkid; the probe object is configured by the caller's lambda.
struct Probe {
  blkid_probe pr = nullptr;
  int fd = -1;
  ~Probe() {
    if (pr) blkid_free_probe(pr);
    if (fd >= 0) ::close(fd);
  }
  bool Open(const std::string& path, uint64_t offset, uint64_t length) {
    fd = devaccess::OpenReadOnly(path, nullptr);
    if (fd < 0) return false;
    pr = blkid_new_probe();
    if (!pr) return false;
    return blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(length)) == 0;
  }
  std::string Value(const char* name) {
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(pr, name, &data, &len) != 0 || !data) return {};
    return std::string(data, strnlen(data, len));
  }
};

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += char(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

bool IsFatName(const std::string& fs) { return fs.rfind("FAT", 0) == 0; }
bool IsNtfsName(const std::string& fs) { return fs == "NTFS"; }
bool IsExFatName(const std::string& fs) { return fs == "exFAT"; }
bool IsReadableFsName(const std::string& fs) { return IsFatName(fs) || IsNtfsName(fs) || IsExFatName(fs); }

bool ProbeFileSystem(const std::string& path, uint64_t offset, uint64_t length, std::string& fsName,
                     std::u16string& label) {
  Probe p;
  if (!p.Open(path, offset, length)) return false;
  blkid_probe_enable_superblocks(p.pr, 1);
  blkid_probe_set_superblocks_flags(p.pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_VERSION);
  blkid_probe_enable_partitions(p.pr, 0);
  if (blkid_do_safeprobe(p.pr) != 0) return false;
  std::string type = p.Value("TYPE");
  if (type == "vfat" || type == "msdos") {
    fsName = p.Value("VERSION");
    if (!IsFatName(fsName)) fsName = "FAT";
  } else if (type == "ntfs") {
    fsName = "NTFS";
  } else if (type == "exfat") {
    fsName = "exFAT";
  } else {
    fsName = type;
  }
  label = text::FromUtf8(p.Value("LABEL"));
  return !fsName.empty();
}

bool ProbePartitions(const std::string& path, std::vector<PartitionInfo>& parts) {
  parts.clear();
  Probe p;
  if (!p.Open(path, 0, 0)) return false;
  blkid_probe_enable_superblocks(p.pr, 0);
  blkid_probe_enable_partitions(p.pr, 1);
  blkid_probe_set_partitions_flags(p.pr, BLKID_PARTS_ENTRY_DETAILS);
  if (blkid_do_fullprobe(p.pr) != 0) return false;
  blkid_partlist ls = blkid_probe_get_partitions(p.pr);
  if (!ls) return false;
  int n = blkid_partlist_numof_partitions(ls);
  for (int i = 0; i < n; ++i) {
    blkid_partition par = blkid_partlist_get_partition(ls, i);
    if (!par) continue;
    PartitionInfo info;
    info.nNumber = blkid_partition_get_partno(par);
    blkid_loff_t start = blkid_partition_get_start(par);
    blkid_loff_t size = blkid_partition_get_size(par);
    if (start < 0 || size <= 0) continue;
    info.nStartSector = static_cast<uint64_t>(start);
    info.nSectorCount = static_cast<uint64_t>(size);
    parts.push_back(info);
  }
  return true;
}

namespace {

// The FAT, exFAT and NTFS volumes of a disk of size bytes (0: unknown), found with the two probes.
template <typename ProbeFs, typename ProbeTable>
std::vector<VolumeInfo> ListVolumes(const std::string& path, uint64_t size, ProbeFs probeFs, ProbeTable probeTable) {
  std::vector<VolumeInfo> out;
  std::vector<PartitionInfo> parts;
  // A FAT, exFAT or NTFS file system at the very start is a partition-less image, even when
  // its boot sector also reads as a partition table.
  std::string fs;
  std::u16string label;
  if (probeFs(0, 0, fs, label) && IsReadableFsName(fs)) {
    VolumeInfo v;
    v.strPath = path;
    v.strFsName = fs;
    v.strLabel = label;
    out.push_back(v);
    return out;
  }
  if (!probeTable(parts)) return out;
  for (const auto& p : parts) {
    uint64_t off = p.nStartSector * 512, len = p.nSectorCount * 512;
    if (size && off >= size) continue;
    if (size && len > size - off) len = size - off;
    if (!probeFs(off, len, fs, label)) continue;
    if (!IsReadableFsName(fs)) continue;
    VolumeInfo v;
    v.strPath = path;
    v.nOffset = off;
    v.nLength = len;
    v.strFsName = fs;
    v.strLabel = label;
    v.nPartition = p.nNumber;
    out.push_back(v);
  }
  return out;
}

}  // namespace

std::vector<VolumeInfo> ListImageVolumes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (S_ISREG(st.st_mode)) {
    // A disk inside a container is probed through its reader: libblkid sees only the
    // container's own bytes.
    std::shared_ptr<CRawDevice> disk = CRawDevice::OpenPath(path, nullptr);
    if (disk && disk->ContainerName()) {
      return ListVolumes(
          path, disk->Size(),
          [&](uint64_t off, uint64_t len, std::string& fs, std::u16string& label) {
            return ProbeFileSystem(*disk, off, len, fs, label);
          },
          [&](std::vector<PartitionInfo>& parts) { return ProbePartitions(*disk, parts); });
    }
  }
  uint64_t fileSize = S_ISBLK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  return ListVolumes(
      path, fileSize,
      [&](uint64_t off, uint64_t len, std::string& fs, std::u16string& label) {
        return ProbeFileSystem(path, off, len, fs, label);
      },
      [&](std::vector<PartitionInfo>& parts) { return ProbePartitions(path, parts); });
}

std::vector<DiskInfo> ListSystemDisks() {
  std::vector<DiskInfo> disks;
  for (const auto& name : ListDir("/sys/block")) {
    if (!IsListedDiskName(name)) continue;
    std::string sys = "/sys/block/" + name;
    if (name.rfind("loop", 0) == 0 && ReadSysText(sys + "/loop/backing_file").empty()) continue;
    DiskInfo d;
    d.strName = name;
    d.strPath = "/dev/" + name;
    if (!Exists(d.strPath)) continue;
    std::string vendor = ReadSysText(sys + "/device/vendor");
    std::string model = ReadSysText(sys + "/device/model");
    std::string product = vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
    if (product.empty()) product = name;
    d.strProduct = text::FromUtf8(product);
    d.nDriveType = ReadSysText(sys + "/removable") == "1" ? 2 : 3;
    const std::string seq = ReadSysText(sys + "/diskseq");
    d.nDiskSeq = std::strtoull(seq.c_str(), nullptr, 10);
    disks.push_back(d);
  }
  return disks;
}

std::string FindMountPoint(dev_t device) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, majmin, root, mountPoint;
    ls >> id >> parent >> majmin >> root >> mountPoint;
    unsigned maj = 0, min = 0;
    if (sscanf(majmin.c_str(), "%u:%u", &maj, &min) != 2) continue;
    if (makedev(maj, min) == device && root == "/") return Unescape(mountPoint);
  }
  return {};
}

std::vector<VolumeInfo> ListSystemVolumes() {
  std::vector<VolumeInfo> out;
  for (const auto& disk : ListSystemDisks()) {
    std::string sys = "/sys/block/" + disk.strName;
    std::vector<std::string> partNames;
    for (const auto& n : ListDir(sys))
      if (n.rfind(disk.strName, 0) == 0 && Exists(sys + "/" + n + "/partition")) partNames.push_back(n);
    // Partitions in their number order (sda2 before sda10).
    std::sort(partNames.begin(), partNames.end(), [&](const std::string& a, const std::string& b) {
      return std::stoi(ReadSysText(sys + "/" + a + "/partition")) < std::stoi(ReadSysText(sys + "/" + b + "/partition"));
    });
    if (partNames.empty()) partNames.push_back("");
    for (const auto& pn : partNames) {
      VolumeInfo v;
      v.strPath = "/dev/" + (pn.empty() ? disk.strName : pn);
      v.nDriveType = disk.nDriveType;
      v.nDiskSeq = disk.nDiskSeq;
      if (!pn.empty()) v.nPartition = std::stoi(ReadSysText(sys + "/" + pn + "/partition"));
      if (!ProbeFileSystem(v.strPath, 0, 0, v.strFsName, v.strLabel)) continue;
      if (!IsReadableFsName(v.strFsName)) continue;
      struct stat st {};
      if (::stat(v.strPath.c_str(), &st) == 0) v.strMountPoint = FindMountPoint(st.st_rdev);
      out.push_back(v);
    }
  }
  return out;
}

}  // namespace enumerate
