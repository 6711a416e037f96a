// The program's start-up as the user meets it: the first run shows the welcome wizard over
// the shown main window, a later run does not; the reserved temporary files live exactly as
// long as the run.
#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWizard>

#include "settings/Settings.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "ui/GuiApp.h"
#include "ui/MainFrame.h"
#include "ui/Startup.h"
#include "ui/WelcomeWizard.h"

namespace {

int ReservedFiles(const QString& dir) {
  return int(QDir(dir).entryList({QStringLiteral("~DF*.tmp")}, QDir::Files).size());
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT
  QTemporaryDir m_tmp;

 private slots:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    qputenv("TMPDIR", m_tmp.path().toUtf8());
    QApplication::setQuitOnLastWindowClosed(true);
  }

  void init() { QFile::remove(QString::fromStdString(SettingsFilePath())); }

  void firstRunShowsTheWelcomeWizard() {
    bool wizardShown = false, frameShown = false;
    int reserved = -1;
    QString title;
    WhenModalShown([](QWidget* w) { return qobject_cast<CWelcomeWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     wizardShown = true;
                     frameShown = GuiApp().m_pMainFrame && GuiApp().m_pMainFrame->isVisible();
                     title = GuiApp().m_pMainFrame ? GuiApp().m_pMainFrame->windowTitle() : QString();
                     reserved = ReservedFiles(m_tmp.path());
                     static_cast<QWizard*>(w)->button(QWizard::CancelButton)->click();
                     QTimer::singleShot(50, [] { GuiApp().m_pMainFrame->close(); });
                   });
    int status = RunProgram({QString::fromStdString(FixturePath("fat12.img"))}, false);
    QCOMPARE(status, 0);
    QVERIFY(wizardShown);
    QVERIFY(frameShown);
    QCOMPARE(title, QStringLiteral("Tarnwell Quarrow"));
    QCOMPARE(reserved, 27);
    QCOMPARE(ReservedFiles(m_tmp.path()), 0);
  }

  void laterRunWithoutTheWizard() {
    CSettings settings;
    settings.RecoveryWizard = 0;
    QVERIFY(SaveSettings(settings));
    bool wizardShown = false;
    WhenModalShown([](QWidget* w) { return qobject_cast<CWelcomeWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     wizardShown = true;
                     static_cast<QWizard*>(w)->reject();
                   },
                   3000);
    QTimer::singleShot(1500, [] {
      if (GuiApp().m_pMainFrame) GuiApp().m_pMainFrame->close();
    });
    QCOMPARE(RunProgram({}, false), 0);
    QVERIFY(!wizardShown);
    QCOMPARE(ReservedFiles(m_tmp.path()), 0);
  }
};

QTEST_MAIN(StartupTest)
#include "test_startup.moc"
