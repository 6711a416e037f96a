// The document: owner of every device the program opens.
//
// Three lists, each filled on first request: the volumes (the machine's FAT, exFAT and NTFS
// volumes, then those inside the disk images the user opened, then lost volumes found on
// disks), one virtual volume per disk (the container of deep-scan results), and the disks
// (the machine's, then the images). Refresh lists the machine's devices again: new ones are
// appended to the lists, gone ones are marked or taken out of the lists. A device object is
// never destroyed before the document: one taken out is kept aside, so that a pointer to it
// or to one of its nodes held anywhere stays valid. Destruction releases the devices taken
// out, then volumes, then virtual volumes, then disks.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/Driver.h"
#include "device/PhysicalDriver.h"
#include "platform/Enumerate.h"

struct CSettings;

// The file systems the volume factory makes.
enum class VolumeKind { Fat, Ntfs, ExFat };

// Where a document lists the machine's own disks and volumes: the platform's enumeration
// (Machine()), or nothing (empty functions). Tests give lists of image files that stand for
// the machine's devices, so that devices can come and go between two listings.
struct SystemDeviceSource {
  std::function<std::vector<enumerate::DiskInfo>()> listDisks;
  std::function<std::vector<enumerate::VolumeInfo>()> listVolumes;
  static SystemDeviceSource Machine();
};

// What CKelvoDoc::Refresh changed. Every pointer stays valid for the document's life.
struct RefreshOutcome {
  std::vector<CLogicalDriver*> addedVolumes;         // appended to Volumes()
  std::vector<CLogicalDriver*> addedVirtualVolumes;  // appended to VirtualVolumes()
  std::vector<CPhysicalDriver*> addedDisks;          // appended to Disks()
  // Not found and still in use: left in their lists, marked m_bDisconnected.
  std::vector<CDriver*> disconnected;
  // Not found and not in use: taken out of their lists (kept aside, not destroyed).
  std::vector<CDriver*> removed;
};

class CKelvoDoc {
 public:
  // includeSystemDevices false lists only the images added with AddDiskImage.
  explicit CKelvoDoc(bool includeSystemDevices = true);
  // The machine's devices as source lists them.
  explicit CKelvoDoc(SystemDeviceSource source);
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

  // Lists the machine's disks and volumes again (the three lists are filled first if they
  // were not) and brings the lists up to date:
  //  - a disk or volume not listed before is opened and appended (a new disk takes the next
  //    free number; numbers given before never change); so is a listed disk that could not
  //    be opened before, and a FAT, exFAT or NTFS volume that an opened image now holds at
  //    an offset where it held none;
  //  - a disk or volume listed before is the same device when its path, diskseq and (a
  //    volume) offset, length, file system and first sector are the same; it clears
  //    m_bDisconnected;
  //  - one not found any more is marked m_bDisconnected while it is in use, and otherwise
  //    taken out of its list. In use: a volume with deep-scan results (its results folder
  //    has items, or a scan journal) or one that inUse (the caller's views, may be empty)
  //    answers true for; a disk together with its virtual volume, when lost volumes were
  //    found on it or its virtual volume is in use. Lost volumes found on a disk that is
  //    gone are marked with it and stay.
  // Opened images, their volumes and lost volumes are never taken out or changed, and deep-
  // scan results stay. No worker may be reading the document's devices meanwhile (the
  // caller makes sure).
  RefreshOutcome Refresh(const std::function<bool(const CLogicalDriver&)>& inUse = {});
  // Whether the volume holds deep-scan results: items in its results folder, or the journal
  // of a scan.
  static bool HasScanResults(const CLogicalDriver& volume);
  // Whether lost volumes found on the disk are listed.
  bool HasLostVolumesOn(const CPhysicalDriver& disk) const;

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
  // Opens the image's volumes that are not listed yet (by path and offset); answers them.
  std::vector<CLogicalDriver*> AddImageVolumes(const std::string& path);
  // Opens a volume of the machine and appends it; null when it does not open.
  CLogicalDriver* AddSystemVolume(const enumerate::VolumeInfo& info);
  CPhysicalDriver* AddDisk(int number);
  CLogicalDriver* AddVirtualVolume(int number);
  // The listed disk, or virtual volume, of disk number n; null when none.
  CPhysicalDriver* DiskNumbered(int n) const;
  CLogicalDriver* VirtualVolumeNumbered(int n) const;
  // Moves the device out of its list into m_removed; false when it is in none.
  bool Remove(const CDriver* device);

  SystemDeviceSource m_system;
  CDiskTable m_diskTable;
  bool m_bVolumesListed = false, m_bVirtualListed = false, m_bDisksListed = false;
  std::vector<std::string> m_imagePaths;
  std::vector<std::unique_ptr<CLogicalDriver>> m_volumes;
  std::vector<std::unique_ptr<CLogicalDriver>> m_virtualVolumes;
  std::vector<std::unique_ptr<CPhysicalDriver>> m_disks;
  // How each listed volume of the machine was listed (what Refresh matches it by).
  std::map<const CLogicalDriver*, enumerate::VolumeInfo> m_systemVolumes;
  // Devices Refresh took out of the lists, kept until the document goes.
  std::vector<std::unique_ptr<CDriver>> m_removed;
};
