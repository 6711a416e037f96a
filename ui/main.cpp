// quarrow: the GUI. quarrow [IMAGE...] adds the image files as disks, and their FAT and
// NTFS volumes as volumes, beside the machine's own.
#include <QApplication>
#include <cstdlib>
#include <string>

#include "ui/Startup.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell Quarrow"));
  QApplication::setOrganizationName(QStringLiteral("Tarnwell"));
  // QUARROW_NO_SYSTEM_DEVICES=1 lists only the images given (tests, demonstrations).
  const char* noSystem = std::getenv("QUARROW_NO_SYSTEM_DEVICES");
  bool includeSystem = !(noSystem && *noSystem && std::string(noSystem) != "0");
  return RunProgram(QApplication::arguments().mid(1), includeSystem);
}
