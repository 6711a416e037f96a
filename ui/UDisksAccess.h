// Disks the desktop user may not read, opened through UDisks2.
//
// The GUI runs as the user, never as root. When a disk's device cannot be opened
// (platform/DeviceAccess.h), this broker asks the UDisks2 service on the system bus for it:
// Manager.ResolveDevice finds the block object of the path, Block.OpenDevice("r") answers a
// read-only descriptor after the desktop's polkit agent asked for the password (the call
// allows interactive authorization). The rest of the program reads through that descriptor.
//
// Where there is no UDisks2 (a server, a container) or the user dismissed the password
// dialog, the broker stops asking for the rest of the run: every further device is refused
// at once with the same reason, and the user is not asked once per partition.
#pragma once

#include <string>
#include <vector>

#include "platform/DeviceAccess.h"

class QWidget;

class CUDisksBroker final : public devaccess::IAccessBroker {
 public:
  int OpenReadOnly(const std::string& path, std::string* why) override;

 private:
  bool m_bGivenUp = false;
  std::string m_strGivenUpWhy;
};

// Installs the UDisks2 broker for the lifetime of the object (RunProgram holds one).
class CDeviceAccessScope {
 public:
  CDeviceAccessScope();
  ~CDeviceAccessScope();
  CDeviceAccessScope(const CDeviceAccessScope&) = delete;
  CDeviceAccessScope& operator=(const CDeviceAccessScope&) = delete;

 private:
  CUDisksBroker m_broker;
};

// Shows, in one warning over parent, the refused devices and how to get access to them.
// Nothing when none was refused.
void ReportRefusedDevices(QWidget* parent, const std::vector<devaccess::Denial>& refused);
