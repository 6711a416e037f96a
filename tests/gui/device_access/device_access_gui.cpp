// The GUI run by a user who may not read a disk's device, as device_access_test.sh sets it up:
// the "device" ($QUARROW_TEST_DEVICE, a FAT image holding HELLO.TXT and the deleted GONE.TXT)
// cannot be opened by this process, and the system bus ($DBUS_SYSTEM_BUS_ADDRESS) is a
// private one with or without a stand-in UDisks2 service. Each function is one setup; the
// script names the one that fits what it started.
//
// The program is started as the user starts it (RunProgram with the device as argument).
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "settings/Settings.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/Startup.h"

namespace {

// What the running program showed: the texts of its message boxes, and what the main window
// listed once it was up (or why it could not be looked at).
struct Seen {
  QStringList boxes;
  QStringList volumes;    // names of the volumes under "My Computer"
  QStringList rootItems;  // names in the list of the first volume's root folder
  QStringList deleted;    // the deleted ones among them
  int disks = -1;         // items under "Physical Drives"
};

// Runs the program with device, answering every message box with OK, and looks at the main
// window once it is up, the boxes expected were answered and none is open; then closes it.
// After 30 s it looks anyway, and the checks tell what is missing. The look may come while
// the program is still starting (a box runs an event loop of its own, and an answered one
// is left only after this poll returns), where closing the window does not end the run: the
// poll then asks the main loop to end until it has.
Seen RunWith(const QString& device, int boxesExpected) {
  Seen seen;
  CMessageBoxAnswerer answerer(QStringList(50, QStringLiteral("OK")));
  QDeadlineTimer deadline(30000);
  auto* poll = new QTimer(qApp);
  auto looked = std::make_shared<bool>(false);
  poll->setInterval(50);
  QObject::connect(poll, &QTimer::timeout, [&seen, &answerer, boxesExpected, deadline, looked] {
    if (*looked) {
      QCoreApplication::exit(0);
      return;
    }
    CMainFrame* frame = GuiApp().m_pMainFrame;
    if (!frame || !frame->isVisible() || QApplication::activeModalWidget()) return;
    if (answerer.Seen().size() < boxesExpected && !deadline.hasExpired()) return;
    *looked = true;
    CFSTreeCtrl* tree = frame->TreePane()->Tree();
    seen.disks = tree->m_pDisks->childCount();
    for (int i = 0; i < tree->m_pComputer->childCount(); ++i) seen.volumes << tree->m_pComputer->child(i)->text(0);
    if (tree->m_pComputer->childCount() > 0) {
      tree->setCurrentItem(tree->m_pComputer->child(0));
      CFSListModel* model = frame->View()->List()->Model();
      for (int r = 0; r < model->rowCount(); ++r) {
        const QString name = model->index(r, 0).data().toString();
        seen.rootItems << name;
        CDirEntry* entry = model->NodeAt(r);
        if (entry && entry->m_bDeleted) seen.deleted << name;
      }
    }
    frame->close();
  });
  poll->start();
  const int status = RunProgram({device}, false);
  delete poll;
  seen.boxes = answerer.Seen();
  if (status != 0) seen.boxes << QStringLiteral("exit status %1").arg(status);
  return seen;
}

}  // namespace

class DeviceAccessTest : public QObject {
  Q_OBJECT
  QString m_device;

 private slots:
  void initTestCase() {
    m_device = qEnvironmentVariable("QUARROW_TEST_DEVICE");
    QVERIFY2(!m_device.isEmpty(), "QUARROW_TEST_DEVICE is not set");
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS"), "the test must not use the machine's system bus");
    // The setup itself: without the service this process cannot read the device.
    const int fd = ::open(m_device.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    const int openErrno = errno;
    if (fd >= 0) ::close(fd);
    QVERIFY2(fd < 0 && (openErrno == EACCES || openErrno == EPERM), "the device is readable: the test would prove nothing");
    CSettings settings;
    settings.RecoveryWizard = 0;
    QVERIFY(SaveSettings(settings));
    QApplication::setQuitOnLastWindowClosed(true);
  }

  // The service hands out a descriptor: the volume is listed with its existing and deleted
  // files, read through it, and no message comes up.
  void listsTheVolumeThroughTheService() {
    const Seen seen = RunWith(m_device, 0);
    QVERIFY2(seen.boxes.isEmpty(), qPrintable(seen.boxes.join(QStringLiteral("\n"))));
    QCOMPARE(seen.volumes.size(), 1);
    QVERIFY2(seen.volumes[0].contains(QStringLiteral("(UDTEST)")), qPrintable(seen.volumes[0]));
    QCOMPARE(seen.disks, 1);
    QVERIFY2(seen.rootItems.contains(QStringLiteral("HELLO.TXT")), qPrintable(seen.rootItems.join(QStringLiteral(", "))));
    QVERIFY2(seen.deleted.contains(QStringLiteral("_ONE.TXT")),
             qPrintable(seen.rootItems.join(QStringLiteral(", "))));
  }

  // The service refuses (polkit said no): one message naming the device, how to get access,
  // and the service's reason; nothing is listed.
  void refusalNamesTheDeviceAndTheReason() {
    const Seen seen = RunWith(m_device, 1);
    QCOMPARE(seen.boxes.size(), 1);
    const QString& text = seen.boxes[0];
    QVERIFY2(text.startsWith(m_device + QStringLiteral(": permission denied.")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("quarrow-cli with sudo")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("(UDisks2) did not open it: Not authorized to perform operation")), qPrintable(text));
    QVERIFY(seen.volumes.isEmpty());
    QCOMPARE(seen.disks, 0);
  }

  // No UDisks2 on the bus (a server, a container): the same message, saying the service is
  // not there.
  void withoutTheServiceNamesTheDevice() {
    const Seen seen = RunWith(m_device, 1);
    QCOMPARE(seen.boxes.size(), 1);
    const QString& text = seen.boxes[0];
    QVERIFY2(text.startsWith(m_device + QStringLiteral(": permission denied.")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("quarrow-cli with sudo")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("(UDisks2) is not available.")), qPrintable(text));
    QVERIFY(seen.volumes.isEmpty());
  }
};

QTEST_MAIN(DeviceAccessTest)
#include "device_access_gui.moc"
