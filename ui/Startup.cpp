#include "ui/Startup.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include "app/App.h"
#include "app/Document.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/MainFrame.h"
#include "ui/TaskRunnerQt.h"
#include "ui/UpdateCheck.h"
#include "ui/WelcomeWizard.h"

int RunProgram(const QStringList& images, bool includeSystem) {
  CKelvoApp app;
  std::string error;
  bool newer = false;
  if (!app.InitCore(&error, [&] { newer = app.m_settings.AutoUpdate != 0 && CheckForUpdate(); })) {
    QMessageBox::critical(nullptr, QStringLiteral("Tarnwell Quarrow"), QString::fromStdString(error));
    return 1;
  }
  app.m_pumpMessages = [] { PumpGuiEvents(); };
  int status = 0;
  {
    CKelvoDoc doc(includeSystem);
    CMainFrame frame(&doc);
    InstallCoreHooks(&frame);
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
