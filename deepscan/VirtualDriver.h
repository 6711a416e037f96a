// The virtual volume of a whole disk: the container of a disk's deep-scan results.
//
// Its unit is one 512-byte sector of the disk, read through a handle of its own; its
// root folder bears the disk's name and holds one results folder, "LostFiles", which the
// deep scan fills with carved files. A carved file remembers its first sector and its
// length; reading it back reads that many consecutive sectors.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/Driver.h"
#include "device/PhysicalDriver.h"
#include "tree/DirEntry.h"

class CVirtualDriver : public CLogicalDriver {
 public:
  CVirtualDriver();
  // Takes the disk's handle and description: 512-byte units, units 2 to count - 1.
  bool InitFromDisk(DeviceHandle handle, const DiskInfo& info);
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool ReadCluster(uint64_t unit, uint32_t reserved, uint8_t* buffer) override;
  uint64_t UnitByteOffset(uint64_t unit) override;
  uint64_t SkipUnmatched(uint64_t unit, uint64_t lim) override;
  void CreateRoot() override;
  std::unique_ptr<CFSFile> NewCarvedFile(uint64_t unit) override;
  bool ResultStartUnit(const CDirEntry& node, uint64_t& unit) const override;
  // The carve step: measures the file beginning at unit and adds it to "LostFiles",
  // marking the units it covers.
  bool ScanUnit(uint64_t unit, CUnitBitmap* visited, IProgressWindow* progress) override;

  // The file systems on this disk whose items name carved files: each volume with the byte
  // of the disk where it begins and the folder its paths are put under. The volumes are
  // owned by the document and outlive every scan.
  struct NamingVolume {
    CLogicalDriver* pVolume = nullptr;
    uint64_t nStartByte = 0;
    std::u16string strName;
  };
  // Sets them before a scan; the index of names is made again at the scan's first find.
  void SetNamingVolumes(std::vector<NamingVolume> volumes);
  // Opens the FAT, exFAT or NTFS volume whose boot sector lies at a sector of this disk
  // (null when none does). With one set, the scan stops at every sector that may begin a
  // boot sector; a volume opened there that is not among the naming volumes becomes one
  // (the volume is kept by this disk), and its files name carved files from then on, and
  // those already carved at their first units.
  using VolumeOpener = std::function<std::unique_ptr<CLogicalDriver>(uint64_t sector)>;
  void SetVolumeOpener(VolumeOpener opener) { m_openVolumeAt = std::move(opener); }
  // Every naming volume's items, their first clusters turned into this disk's units (those
  // that begin at a unit boundary).
  void CollectFirstUnits(std::vector<FirstUnitItem>& items) override;

 private:
  // Whether the sector may begin a boot sector (a jump instruction), when volumes are met.
  bool MayBeginVolume(const uint8_t* bytes) const { return m_openVolumeAt && (bytes[0] == 0xEB || bytes[0] == 0xE9); }
  // Opens the volume at unit, when it is new, and adds its files to the names.
  void MeetVolume(uint64_t unit);
  void AddNamesOf(const NamingVolume& named, std::vector<FirstUnitItem>& items);

  std::vector<NamingVolume> m_namingVolumes;
  VolumeOpener m_openVolumeAt;
  std::vector<std::unique_ptr<CLogicalDriver>> m_metVolumes;
};

class CVirtualDirectory : public CDirectory {
 public:
  bool HasSubfolders(bool) override { return false; }
  // Does nothing, except for the results folder: there it runs the deep scan (through the
  // hook the front end installed).
  void LoadChildren(bool includeDeleted, bool deletedFilesOnly, bool force) override;
};

class CVirtualFile : public CFSFile {
 public:
  std::u16string GetFullPath() const override { return {}; }
  // Writes m_nSize bytes from m_nStartUnit on. With a progress window: WM_FILEPROGRESS and
  // WM_FILEDONE, and the page runner's stop event is polled around every sector. False
  // when stopped, when a write fails, or when a sector cannot be read (the output then
  // holds what was read before it).
  bool WriteContent(IOutputFile& out, IProgressWindow* progress, uint32_t reserved) override;
  void DataUnits(std::vector<UnitRun>& runs) override;

  uint64_t m_nStartUnit = 0;
};
