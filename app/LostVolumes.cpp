#include "app/LostVolumes.h"

#include <climits>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fmt/format.h>

#include "app/Document.h"
#include "deepscan/VirtualDriver.h"
#include "device/LostPartitions.h"
#include "device/PhysicalDriver.h"
#include "platform/Text.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"

namespace {
// Opens the volume whose boot sector lies at sector of the disk read through handle.
std::unique_ptr<CLogicalDriver> OpenVolumeAt(const DeviceHandle& handle, const std::string& path, uint8_t device,
                                             int32_t driveType, uint64_t sector) {
  uint8_t boot[512];
  if (!handle || sector > UINT64_MAX / 512 || !handle->Read(sector * 512, boot, sizeof boot)) return nullptr;
  std::unique_ptr<CLogicalDriver> volume;
  if (IsNtfsBootSector(boot)) volume = CKelvoDoc::NewVolume(VolumeKind::Ntfs);
  else if (IsExFatBootSector(boot)) volume = CKelvoDoc::NewVolume(VolumeKind::ExFat);
  else if (IsFatBootSector(boot)) volume = CKelvoDoc::NewVolume(VolumeKind::Fat);
  else return nullptr;
  std::u16string name = text::Widen(fmt::format("LostDriver_{}", sector + 1));
  volume->m_source.strPath = path;
  volume->m_source.nOffset = sector * 512;
  volume->m_strRootText = name;
  if (!volume->Attach(handle, boot, sector)) return nullptr;
  if (!volume->Open(device, driveType, name, true)) return nullptr;
  return volume;
}
}  // namespace

std::unique_ptr<CLogicalDriver> OpenLostVolume(CPhysicalDriver& disk, uint64_t sector) {
  return OpenVolumeAt(disk.m_hDevice, disk.m_source.strPath, disk.m_nDevice, disk.m_nDriveType, sector);
}

namespace {
// Where a listed volume starts on this disk, in 512-byte sectors, when that can be told:
// a lost volume at its offset, a partition of the same image at its offset, a partition
// device of the same disk from sysfs.
std::optional<uint64_t> StartOnDisk(const CLogicalDriver& v, const CDriver& disk) {
  if (v.m_bSharedHandle && v.m_hDevice == disk.m_hDevice) return v.m_nSectorOffset;
  if (v.m_source.strPath == disk.m_source.strPath) return v.m_source.nOffset / 512;
  struct stat part {}, whole {};
  if (::stat(v.m_source.strPath.c_str(), &part) != 0 || ::stat(disk.m_source.strPath.c_str(), &whole) != 0 ||
      !S_ISBLK(part.st_mode) || !S_ISBLK(whole.st_mode))
    return std::nullopt;
  std::string sys = "/sys/dev/block/" + std::to_string(major(part.st_rdev)) + ":" + std::to_string(minor(part.st_rdev));
  char real[PATH_MAX];
  if (!::realpath(sys.c_str(), real)) return std::nullopt;
  std::string r = real;
  std::string parent = r.substr(0, r.rfind('/'));
  std::string diskName = disk.m_source.strPath.substr(disk.m_source.strPath.rfind('/') + 1);
  if (parent.substr(parent.rfind('/') + 1) != diskName) return std::nullopt;
  std::ifstream in(r + "/start");
  uint64_t start = 0;
  if (!(in >> start)) return std::nullopt;
  return start;
}
}  // namespace

bool FindLostVolumes(CPhysicalDriver& disk, CKelvoDoc& doc, IProgressWindow* progress) {
  SendProgress(progress, WM_SCANPROGRESS, SCAN_STARTED, 0);
  SendProgress(progress, WM_SCANPROGRESS, SCAN_UNITS, 0);
  const uint64_t last = disk.m_nLastUnit;
  uint8_t* buf = disk.m_pUnitBuffer.data();
  if (disk.m_pUnitBuffer.size() < 512) return false;
  CScopedReadAhead readAhead;
  for (uint64_t s = disk.m_nFirstUnit; s < last; ++s) {
    if (progress && IsDialogStopSignalled()) return false;
    if (disk.m_hDevice->IsGone()) return false;
    if (s % 32 == 0 || s + 1 >= last) SendProgress(progress, WM_SCANPROGRESS, SCAN_POSITION, int64_t(s));
    // Every boot sector test needs the jump byte EB: most sectors are passed over after
    // reading that one byte.
    if (!disk.m_hDevice->Read(s * 512, buf, 1) || buf[0] != 0xEB) continue;
    if (!disk.ReadRaw(s, buf, 512, 1)) continue;
    const BootSectorBytes boot(buf, 512);
    bool ntfs = IsNtfsBootSector(boot);
    if (!ntfs && !IsExFatBootSector(boot) && !IsFatBootSector(boot)) continue;
    const uint64_t hit = s;
    // Go on right after the sectors the volume covers, never backwards and never past
    // the end of the range (the loop's own increment follows).
    uint64_t covered = LostVolumeSectors(boot, ntfs);
    const uint64_t after = covered - 1 > last - 1 - hit ? last - 1 : hit + covered - 1;
    // A volume the document lists is known only on this disk: at this sector it is
    // skipped whole; elsewhere on this disk the sector is a copy of its boot sector (NTFS
    // keeps one just past the counted sectors), passed over alone so the volume after it is
    // still found. The same boot sector on another disk (an image of this disk made
    // earlier) makes nothing known here.
    bool knownHere = false, copyHere = false;
    for (const CLogicalDriver* known : doc.KnownVolumes(buf)) {
      const auto start = StartOnDisk(*known, disk);
      if (!start) continue;
      knownHere = knownHere || *start == hit;
      copyHere = copyHere || *start != hit;
    }
    if (knownHere) {
      s = after;
      continue;
    }
    if (copyHere) continue;
    s = after;
    auto volume = OpenLostVolume(disk, hit);
    if (!volume) {
      // A boot sector whose volume does not open covers nothing: look on right after it.
      s = hit;
      continue;
    }
    doc.AppendVolume(std::move(volume));
  }
  return true;
}

void NameCarvedFilesFromVolumes(CKelvoDoc& doc, CLogicalDriver& diskVolume) {
  auto* disk = dynamic_cast<CVirtualDriver*>(&diskVolume);
  if (!disk) return;
  std::vector<CVirtualDriver::NamingVolume> naming;
  for (const auto& volume : doc.Volumes()) {
    const auto start = StartOnDisk(*volume, *disk);
    if (!start || *start > UINT64_MAX / 512) continue;
    // The folder of its paths: "Partition_N" for the N-th partition of an image (whatever
    // container holds it), else the last part of the volume's root text ("sdb1",
    // "LostDriver_2049"), or its name.
    const std::u16string& root = volume->m_strRootText;
    std::u16string folder = root.substr(root.rfind(u'/') + 1);
    if (const size_t hash = folder.rfind(u'#'); hash != std::u16string::npos) folder = u"Partition_" + folder.substr(hash + 1);
    if (folder.empty()) folder = volume->m_szName;
    naming.push_back({volume.get(), *start * 512, std::move(folder)});
  }
  disk->SetNamingVolumes(std::move(naming));
  // Volumes no partition table lists are met by the scan at their boot sectors.
  DeviceHandle handle = disk->m_hDevice;
  const std::string path = disk->m_source.strPath;
  const uint8_t number = disk->m_nDevice;
  const int32_t driveType = disk->m_nDriveType;
  disk->SetVolumeOpener([handle, path, number, driveType](uint64_t sector) {
    return OpenVolumeAt(handle, path, number, driveType, sector);
  });
}
