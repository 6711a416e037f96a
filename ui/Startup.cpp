#include "ui/Startup.h"
#include "ui/UiText.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "app/App.h"
#include "app/Document.h"
#include "platform/TempFiles.h"
#include "tasks/TaskRunner.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/MainFrame.h"
#include "ui/TaskRunnerQt.h"
#include "ui/UDisksAccess.h"
#include "ui/UpdateCheck.h"
#include "ui/WelcomeWizard.h"

namespace {

// A logout (SIGHUP), `kill` (SIGTERM) or Ctrl-C in the terminal (SIGINT) ends the program as
// Quit does: the handler removes the reserved temporary files at once (all it may safely do)
// and wakes the event loop, which stops a running worker, leaves every open dialog and
// returns from RunProgram. A second signal of the same kind ends the program at once.
int g_endPipe[2] = {-1, -1};
bool g_bEnding = false;

void OnEndSignal(int sig) {
  tempfiles::RemoveReservedFilesNow();
  const char byte = static_cast<char>(sig);
  if (g_endPipe[1] >= 0 && ::write(g_endPipe[1], &byte, 1) < 0) {
    // Nothing more can be done inside a handler.
  }
}

void EndOnSignals() {
  if (g_endPipe[0] >= 0 || ::pipe2(g_endPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(g_endPipe[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    char bytes[16];
    while (::read(g_endPipe[0], bytes, sizeof bytes) > 0) {
    }
    g_bEnding = true;
    // A running scan or recovery stops at its next poll, keeping what it wrote.
    SignalDialogStop();
    SignalPageStop();
    QCoreApplication::exit(0);
  });
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(sig, &sa, nullptr);
  }
}

}  // namespace

int RunProgram(const QStringList& images, bool includeSystem) {
  EndOnSignals();
  CKelvoApp app;
  std::string error;
  bool newer = false;
  if (!app.InitCore(&error, [&] { newer = app.m_settings.AutoUpdate != 0 && CheckForUpdate(); })) {
    QMessageBox::critical(nullptr, QStringLiteral("Tarnwell Quarrow"), QString::fromStdString(error));
    return 1;
  }
  app.m_pumpMessages = [] { PumpGuiEvents(); };
  InstallQtTranslations();
  int status = 0;
  {
    // Disks the user may not read are asked for through UDisks2 from here on.
    CDeviceAccessScope deviceAccess;
    CKelvoDoc doc(includeSystem);
    CMainFrame frame(&doc);
    InstallCoreHooks(&frame);
    QScreen* screen = QApplication::primaryScreen();
    frame.setGeometry(CMainFrame::InitialGeometry(screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800)));
    frame.show();
    // The machine's disks that could not be read are told once the window is painted, with
    // how to get access; images given on the command line are reported by OpenImages.
    const std::vector<devaccess::Denial> refused = devaccess::TakeDenials();
    if (!images.isEmpty()) frame.OpenImages(images);
    QApplication::processEvents();  // paint the window before anything modal comes up
    ReportRefusedDevices(&frame, refused);
    if (newer) StartUpdaterQuietly();
    if (app.m_settings.RecoveryWizard != 0 && !g_bEnding) RunWelcomeWizard(&frame, &doc, GuiApp().m_pTreePane);
    // A signal that ended the wizard's loop ends the program too.
    if (!g_bEnding) status = QApplication::exec();
    RemoveCoreHooks();
  }
  return status;
}
