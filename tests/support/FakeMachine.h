// Image files standing for the machine's own disks, for a document's SystemDeviceSource: a
// test plugs disks in and pulls them out between two listings (CKelvoDoc::Refresh). Each
// disk is listed as the platform lists a removable disk, its FAT, exFAT and NTFS volumes as
// its partitions (the image's own listing, with the disk's diskseq).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "app/Document.h"
#include "platform/Enumerate.h"
#include "platform/Text.h"

class CFakeMachine {
 public:
  struct Disk {
    std::string strPath;
    uint64_t nDiskSeq = 0;
  };

  // Plugs an image in as a disk with this diskseq (a medium put in again takes a new one).
  void Plug(const std::string& path, uint64_t diskSeq) { m_disks.push_back({path, diskSeq}); }
  void Pull(const std::string& path) {
    m_disks.erase(std::remove_if(m_disks.begin(), m_disks.end(), [&](const Disk& d) { return d.strPath == path; }),
                  m_disks.end());
  }

  // The source a document lists through; the machine must outlive the document.
  SystemDeviceSource Source() {
    return {[this] {
              std::vector<enumerate::DiskInfo> disks;
              for (const Disk& d : m_disks) {
                enumerate::DiskInfo info;
                info.strPath = d.strPath;
                info.strName = d.strPath.substr(d.strPath.rfind('/') + 1);
                info.strProduct = u"Card Reader " + text::FromUtf8(info.strName);
                info.nDriveType = 2;
                info.nDiskSeq = d.nDiskSeq;
                disks.push_back(info);
              }
              return disks;
            },
            [this] {
              std::vector<enumerate::VolumeInfo> volumes;
              for (const Disk& d : m_disks)
                for (enumerate::VolumeInfo v : enumerate::ListImageVolumes(d.strPath)) {
                  v.nDriveType = 2;
                  v.nDiskSeq = d.nDiskSeq;
                  volumes.push_back(v);
                }
              return volumes;
            }};
  }

 private:
  std::vector<Disk> m_disks;
};
