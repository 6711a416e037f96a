// quarrow: the GUI. quarrow [IMAGE...] adds the image files as disks, and their FAT and
// NTFS volumes as volumes, beside the machine's own.
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdlib>

#include "app/App.h"
#include "app/Document.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/UpdateCheck.h"
#include "ui/WelcomeWizard.h"
#include "ui/MainFrame.h"
#include "ui/TaskRunnerQt.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarnwell Quarrow"));
  QApplication::setOrganizationName(QStringLiteral("Tarnwell"));

  // Start-up, in order: settings and language file; the update check when AutoUpdate is
  // on; the reserved temporary names; the document and the main window; the updater when a
  // newer version exists; the welcome wizard when RecoveryWizard is on.
  CKelvoApp app;
  std::string error;
  bool newer = false;
  if (!app.InitCore(&error, [&] { newer = app.m_settings.AutoUpdate != 0 && CheckForUpdate(); })) {
    QMessageBox::critical(nullptr, QStringLiteral("Tarnwell Quarrow"), QString::fromStdString(error));
    return 1;
  }
  app.m_pumpMessages = [] { PumpGuiEvents(); };

  // QUARROW_NO_SYSTEM_DEVICES=1 lists only the images given (tests, demonstrations).
  const char* noSystem = std::getenv("QUARROW_NO_SYSTEM_DEVICES");
  bool includeSystem = !(noSystem && *noSystem && std::string(noSystem) != "0");
  int status = 0;
  {
    CKelvoDoc doc(includeSystem);
    CMainFrame frame(&doc);
    InstallCoreHooks(&frame);
    QStringList images = QApplication::arguments().mid(1);
    QScreen* screen = QApplication::primaryScreen();
    frame.setGeometry(CMainFrame::InitialGeometry(screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800)));
    frame.show();
    if (!images.isEmpty()) frame.OpenImages(images);
    QApplication::processEvents();  // paint the window before anything modal comes up
    if (newer) StartUpdaterQuietly();
    if (app.m_settings.RecoveryWizard != 0) RunWelcomeWizard(&frame, &doc, GuiApp().m_pTreePane);
    status = QApplication::exec();
    RemoveCoreHooks();
  }
  return status;
}
