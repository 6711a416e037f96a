// quarrow: the GUI. quarrow [IMAGE...] adds the image files as disks, and their FAT and
// NTFS volumes as volumes, beside the machine's own.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/Startup.h"

#ifndef QUARROW_VERSION
#define QUARROW_VERSION "0.0.0"
#endif

namespace {
const char kUsage[] =
    "Usage: quarrow [OPTION]... [IMAGE]...\n"
    "Undelete and recover files from FAT and NTFS volumes and disks.\n"
    "Each IMAGE (a disk or volume image file) is added as a disk beside the machine's own.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are accepted too.\n"
    "The command-line front end is quarrow-cli.\n";
}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs("quarrow " QUARROW_VERSION "\n", stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell Quarrow"));
  QApplication::setOrganizationName(QStringLiteral("Tarnwell"));
  QApplication::setApplicationVersion(QStringLiteral(QUARROW_VERSION));
  // Ties the windows to the installed desktop entry (its name and icon on Wayland).
  QGuiApplication::setDesktopFileName(QStringLiteral("example.tarnwell.quarrow"));
  // QUARROW_NO_SYSTEM_DEVICES=1 lists only the images given (tests, demonstrations).
  const char* noSystem = std::getenv("QUARROW_NO_SYSTEM_DEVICES");
  bool includeSystem = !(noSystem && *noSystem && std::string(noSystem) != "0");
  return RunProgram(QApplication::arguments().mid(1), includeSystem);
}
