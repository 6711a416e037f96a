// The document: owner of every device the program opens.
//
// Three lists, each filled once on first request and kept until the document is
// destroyed: the volumes (the machine's FAT and NTFS volumes, then those inside the
// disk images the user opened, then lost volumes found on disks), one virtual volume
// per disk (the container of deep-scan results), and the disks (the machine's, then
// the images). Destruction releases volumes, then virtual volumes, then disks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/Driver.h"
#include "device/PhysicalDriver.h"

class CKelvoDoc {
 public:
  // includeSystemDevices false lists only the images added with AddDiskImage.
  explicit CKelvoDoc(bool includeSystemDevices = true);
  ~CKelvoDoc();
  CKelvoDoc(const CKelvoDoc&) = delete;
  CKelvoDoc& operator=(const CKelvoDoc&) = delete;

  // Adds an image file (or a block device given by path) as a disk, and the FAT and NTFS
  // volumes inside it as volumes. Works before and after the lists were filled. False
  // with *error when the path cannot be opened; an image holding no FAT or NTFS volume
  // is still a disk (with a note in *note).
  bool AddDiskImage(const std::string& path, std::string* error, std::string* note = nullptr);

  void EnumerateVolumes();
  void EnumerateVirtualVolumes();
  void EnumerateDisks();

  // Whether a listed volume has these 512 bytes as its first sector.
  bool IsKnownVolume(const uint8_t* bootSector);
  // The listed volume whose first sector is these 512 bytes, or null.
  const CLogicalDriver* FindKnownVolume(const uint8_t* bootSector);

  // Appends a volume found on a disk; the document owns it from then on.
  void AppendVolume(std::unique_ptr<CLogicalDriver> volume);

  const std::vector<std::unique_ptr<CLogicalDriver>>& Volumes() const { return m_volumes; }
  const std::vector<std::unique_ptr<CLogicalDriver>>& VirtualVolumes() const { return m_virtualVolumes; }
  const std::vector<std::unique_ptr<CPhysicalDriver>>& Disks() const { return m_disks; }

  // Creates and opens a FAT or NTFS volume over source; null when fsName is neither or
  // the volume does not open.
  static std::unique_ptr<CLogicalDriver> OpenVolume(const std::string& fsName, const DeviceSource& source,
                                                    uint8_t number, int32_t driveType, const std::u16string& name,
                                                    const std::u16string& rootText);

 private:
  void AddImageVolumes(const std::string& path);
  void AddDisk(int number);
  void AddVirtualVolume(int number);

  bool m_bIncludeSystem;
  bool m_bVolumesListed = false, m_bVirtualListed = false, m_bDisksListed = false;
  std::vector<std::string> m_imagePaths;
  std::vector<std::unique_ptr<CLogicalDriver>> m_volumes;
  std::vector<std::unique_ptr<CLogicalDriver>> m_virtualVolumes;
  std::vector<std::unique_ptr<CPhysicalDriver>> m_disks;
};
