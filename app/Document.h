// The document: owner of every device the program opens.
//
// Three lists, each filled once on first request and kept until the document is
// destroyed: the volumes (the machine's FAT, exFAT and NTFS volumes, then those inside the
// disk images the user opened, then lost volumes found on disks), one virtual volume
// per disk (the container of deep-scan results), and the disks (the machine's, then
// the images). Destruction releases volumes, then virtual volumes, then disks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/Driver.h"
#include "device/PhysicalDriver.h"

struct CSettings;

// The file systems the volume factory makes.
enum class VolumeKind { Fat, Ntfs, ExFat };

class CKelvoDoc {
 public:
  // includeSystemDevices false lists only the images added with AddDiskImage.
  explicit CKelvoDoc(bool includeSystemDevices = true);
  ~CKelvoDoc();
  CKelvoDoc(const CKelvoDoc&) = delete;
  CKelvoDoc& operator=(const CKelvoDoc&) = delete;

  // Adds an image file (or a block device given by path) as a disk, and the FAT, exFAT and NTFS
  // volumes inside it as volumes. Works before and after the lists were filled. False
  // with *error when the path cannot be opened; an image holding no FAT, exFAT or NTFS volume
  // is still a disk (with a note in *note). The image is known by its canonical path
  // (CanonicalImagePath), which *added receives: the same file added under another
  // spelling is the same disk.
  bool AddDiskImage(const std::string& path, std::string* error, std::string* note = nullptr,
                    std::string* added = nullptr);
  // The absolute path without symbolic links, "." or ".." (the path itself when it cannot
  // be resolved).
  static std::string CanonicalImagePath(const std::string& path);

  void EnumerateVolumes();
  void EnumerateVirtualVolumes();
  void EnumerateDisks();

  // Whether a listed volume has these 512 bytes as its first sector.
  bool IsKnownVolume(const uint8_t* bootSector);
  // The listed volume whose first sector is these 512 bytes, or null.
  const CLogicalDriver* FindKnownVolume(const uint8_t* bootSector);
  // Every listed volume whose first sector is these 512 bytes.
  std::vector<const CLogicalDriver*> KnownVolumes(const uint8_t* bootSector);

  // Appends a volume found on a disk; the document owns it from then on.
  void AppendVolume(std::unique_ptr<CLogicalDriver> volume);

  const std::vector<std::unique_ptr<CLogicalDriver>>& Volumes() const { return m_volumes; }
  const std::vector<std::unique_ptr<CLogicalDriver>>& VirtualVolumes() const { return m_virtualVolumes; }
  const std::vector<std::unique_ptr<CPhysicalDriver>>& Disks() const { return m_disks; }

  // The one volume factory: a new, unopened FAT, exFAT or NTFS volume, configured from the
  // application's settings (see ConfigureVolume).
  static std::unique_ptr<CLogicalDriver> NewVolume(VolumeKind kind);
  // Hands a volume what it reads from the settings: a FAT volume's ScanDir and
  // ReplaceChar, an exFAT volume's ScanDir. Nothing for other volumes.
  static void ConfigureVolume(CLogicalDriver& volume, const CSettings& settings);
  // ConfigureVolume for every volume of the document (after the options changed).
  void ApplySettings(const CSettings& settings);

  // Creates and opens a FAT, exFAT or NTFS volume over source; null when fsName is none of
  // them or the volume does not open.
  static std::unique_ptr<CLogicalDriver> OpenVolume(const std::string& fsName, const DeviceSource& source,
                                                    uint8_t number, int32_t driveType, const std::u16string& name,
                                                    const std::u16string& rootText);

 private:
  void AddImageVolumes(const std::string& path);
  void AddDisk(int number);
  void AddVirtualVolume(int number);

  bool m_bIncludeSystem;
  CDiskTable m_diskTable;
  bool m_bVolumesListed = false, m_bVirtualListed = false, m_bDisksListed = false;
  std::vector<std::string> m_imagePaths;
  std::vector<std::unique_ptr<CLogicalDriver>> m_volumes;
  std::vector<std::unique_ptr<CLogicalDriver>> m_virtualVolumes;
  std::vector<std::unique_ptr<CPhysicalDriver>> m_disks;
};
