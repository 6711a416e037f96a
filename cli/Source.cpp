#include "cli/Source.h"

#include <cstdio>
#include <iostream>

#include "app/LostVolumes.h"
#include "device/LostPartitions.h"
#include "platform/Enumerate.h"
#include "platform/Text.h"

CLogicalDriver* OpenDiskAsVirtualVolume(CKelvoDoc& doc, const std::string& given, std::string* error) {
  std::string path;
  if (!doc.AddDiskImage(given, error, nullptr, &path)) return nullptr;
  doc.EnumerateVirtualVolumes();
  for (const auto& v : doc.VirtualVolumes())
    if (v->m_source.strPath == path) return v.get();
  if (error) *error = given + ": cannot be opened as a disk";
  return nullptr;
}

CPhysicalDriver* OpenDisk(CKelvoDoc& doc, const std::string& given, std::string* error) {
  std::string path;
  if (!doc.AddDiskImage(given, error, nullptr, &path)) return nullptr;
  doc.EnumerateVolumes();
  doc.EnumerateDisks();
  for (const auto& d : doc.Disks())
    if (d->m_source.strPath == path) return d.get();
  if (error) *error = given + ": cannot be opened as a disk";
  return nullptr;
}

bool ResolveSource(CKelvoDoc& doc, const std::string& source, int partition, bool allowDisk, bool forceDisk,
                   ResolvedSource& out, std::string* error, const std::string& lost) {
  out = ResolvedSource{};
  if (!lost.empty()) {
    // "LostDriver_N": the volume whose boot sector lies at sector N - 1 of the disk.
    unsigned long long n = 0;
    char tail = 0;
    if (std::sscanf(lost.c_str(), "LostDriver_%llu%c", &n, &tail) != 1 || n == 0) {
      *error = lost + ": not a lost volume's name (LostDriver_N, as findlost prints it)";
      return false;
    }
    CPhysicalDriver* disk = OpenDisk(doc, source, error);
    if (!disk) return false;
    auto volume = OpenLostVolume(*disk, n - 1);
    if (!volume) {
      *error = source + ": no FAT, exFAT or NTFS volume opens at sector " + std::to_string(n - 1);
      return false;
    }
    out.pVolume = volume.get();
    doc.AppendVolume(std::move(volume));
    return true;
  }
  if (forceDisk) {
    out.pVolume = OpenDiskAsVirtualVolume(doc, source, error);
    out.bIsDisk = out.pVolume != nullptr;
    return out.pVolume != nullptr;
  }
  std::string path;
  if (!doc.AddDiskImage(source, error, nullptr, &path)) return false;
  doc.EnumerateVolumes();
  std::vector<CLogicalDriver*> volumes;
  for (const auto& v : doc.Volumes())
    if (v->m_source.strPath == path) volumes.push_back(v.get());
  if (partition > 0) {
    if (size_t(partition) > volumes.size()) {
      *error = source + ": there is no FAT, exFAT or NTFS partition " + std::to_string(partition) + " (it holds " +
               std::to_string(volumes.size()) + ")";
      return false;
    }
    out.pVolume = volumes[size_t(partition) - 1];
    return true;
  }
  if (volumes.size() == 1 && volumes[0]->m_source.nOffset == 0 && volumes[0]->m_source.nLength == 0) {
    out.pVolume = volumes[0];
    return true;
  }
  if (allowDisk) {
    out.pVolume = OpenDiskAsVirtualVolume(doc, source, error);
    out.bIsDisk = out.pVolume != nullptr;
    return out.pVolume != nullptr;
  }
  if (volumes.empty()) {
    *error = source + ": holds no FAT, exFAT or NTFS volume";
    return false;
  }
  std::string list;
  for (size_t i = 0; i < volumes.size(); ++i)
    list += "\n  --partition " + std::to_string(i + 1) + ": " + text::ToUtf8(volumes[i]->GetFileSystemText()) + " " +
            text::ToUtf8(volumes[i]->m_szName) + ", " + text::ToUtf8(volumes[i]->GetSizeText());
  *error = source + ": a disk with " + std::to_string(volumes.size()) + " volumes; choose one:" + list;
  return false;
}

bool OpenReportFile(CSaveReport& report, const std::string& path, const std::string& source, bool allowSameDisk) {
  if (path.empty()) return true;
  if (!allowSameDisk && IsOnSameDisk(path, source)) {
    std::cerr << "quarrow-cli: the report " << path << " lies on the disk being read; writing there could overwrite "
              << "the files being recovered. Choose a folder on another disk (or --allow-same-disk).\n";
    return false;
  }
  std::string error;
  if (!report.Open(path, &error)) {
    std::cerr << "quarrow-cli: cannot write the report: " << error << '\n';
    return false;
  }
  return true;
}
