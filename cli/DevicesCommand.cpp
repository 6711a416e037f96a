// quarrow-cli devices: the document's lists as the navigation tree's two top items show them.
#include "cli/Commands.h"

#include <iostream>

#include <fmt/format.h>

#include "app/Document.h"
#include "cli/Output.h"
#include "platform/DeviceAccess.h"

namespace {
const char* DriveTypeText(int32_t type) {
  switch (type) {
    case DRIVE_REMOVABLE: return "Removable";
    case DRIVE_FIXED: return "Fixed";
    default: return "Unknown";
  }
}
}  // namespace

void AddDevicesCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("devices", "List volumes and disks (the machine's and the given images)");
  auto images = std::make_shared<std::vector<std::string>>();
  auto json = std::make_shared<bool>(false);
  auto noSystem = std::make_shared<bool>(false);
  cmd->add_option("--image", *images, "A disk image or device to add (repeatable)");
  cmd->add_flag("--json", *json, "One JSON object per line");
  cmd->add_flag("--no-system", *noSystem, "List only the given images, not the machine's own devices");
  cmd->callback([&ctx, images, json, noSystem] {
    CKelvoDoc doc(!*noSystem);
    int status = EXIT_DONE;
    for (const auto& given : *images) {
      std::string error;
      if (!doc.AddDiskImage(given, &error)) {
        std::cerr << "quarrow-cli: " << error << '\n';
        status = EXIT_BAD_INPUT;
      }
    }
    // The images' own refusals were printed above; what is refused from here on are the
    // machine's devices, named in one message.
    devaccess::TakeDenials();
    doc.EnumerateVolumes();
    doc.EnumerateVirtualVolumes();
    doc.EnumerateDisks();
    for (const std::string& message : devaccess::DenialMessages(devaccess::TakeDenials()))
      std::cerr << "quarrow-cli: " << message << '\n';
    for (const auto& given : *images) {
      const std::string path = CKelvoDoc::CanonicalImagePath(given);
      bool any = false;
      for (const auto& v : doc.Volumes()) any = any || v->m_source.strPath == path;
      bool listed = false;
      for (const auto& d : doc.Disks()) listed = listed || d->m_source.strPath == path;
      if (listed && !any) std::cerr << "quarrow-cli: " << given << ": no FAT, exFAT or NTFS volume found; listed as a disk only\n";
    }
    if (*json) {
      for (const auto& v : doc.Volumes()) {
        PrintJsonLine({{"kind", "volume"},
                       {"name", U8(v->m_szName)},
                       {"fs", U8(v->GetFileSystemText())},
                       {"size_bytes", v->GetTotalBytes()},
                       {"size_text", U8(v->GetSizeText())},
                       {"removable", v->m_nDriveType == DRIVE_REMOVABLE},
                       {"drive_type", DriveTypeText(v->m_nDriveType)},
                       {"root", U8(v->m_strRootText)},
                       {"path", v->m_source.strPath},
                       {"offset_bytes", v->m_source.nOffset}});
      }
      for (const auto& d : doc.Disks()) {
        PrintJsonLine({{"kind", "disk"},
                       {"name", U8(d->m_szName)},
                       {"fs", ""},
                       {"number", d->m_nDevice},
                       {"size_bytes", d->GetTotalBytes()},
                       {"size_text", U8(d->GetSizeText())},
                       {"removable", d->m_nDriveType == DRIVE_REMOVABLE},
                       {"drive_type", DriveTypeText(d->m_nDriveType)},
                       {"path", d->m_source.strPath}});
      }
    } else {
      std::cout << "My Computer\n";
      for (const auto& v : doc.Volumes())
        std::cout << fmt::format("  {:<40} {:<6} {:>9}  {:<9}  {}\n", U8(v->m_szName), U8(v->GetFileSystemText()),
                                 U8(v->GetSizeText()), DriveTypeText(v->m_nDriveType), U8(v->m_strRootText));
      std::cout << "Physical Drives\n";
      for (const auto& d : doc.Disks())
        std::cout << fmt::format("  {:<40} {:>9}  {}\n", U8(d->m_szName), U8(d->GetSizeText()), d->m_source.strPath);
    }
    ctx.nExitStatus = status;
  });
}
