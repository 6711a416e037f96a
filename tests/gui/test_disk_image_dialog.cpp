// File > Create Disk Image...: the dialog copies a disk into an image with its map, the main
// window adds the image as a disk, and an existing image is never overwritten.
#include <QAction>
#include <QFileInfo>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/App.h"
#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tasks/RescueMap.h"
#include "ui/DiskImageDlg.h"
#include "ui/GuiHooks.h"
#include "ui/MainFrame.h"

class DiskImageDialogTest : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;
  QTemporaryDir m_dir;

  static void Fill(QWidget* dlg, const QString& source, const QString& dest) {
    dlg->findChild<QComboBox*>(QStringLiteral("source"))->setCurrentText(source);
    auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("dest"));
    edit->clear();
    QTest::keyClicks(edit, dest);
  }
  static QPushButton* Button(QWidget* dlg, const char* name) {
    return dlg->findChild<QPushButton*>(QLatin1String(name));
  }

 private slots:
  void initTestCase() {
    m_app.InitCore(nullptr);
    m_doc = std::make_unique<CKelvoDoc>(false);
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    InstallCoreHooks(m_frame.get());
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    QVERIFY(m_frame->OpenImages({QString::fromStdString(FixturePath("fat16.img"))}, false).isEmpty());
  }
  void cleanupTestCase() {
    RemoveCoreHooks();
    m_frame.reset();
    m_doc.reset();
  }

  // The menu command: the dialog offers the open disk, copies it, and the copy becomes a
  // disk of the window.
  void copiesAndAddsTheImage() {
    const QString source = QString::fromStdString(FixturePath("fat16.img"));
    const QString dest = m_dir.filePath(QStringLiteral("copy.img"));
    QAction* command = m_frame->findChild<QAction*>(QStringLiteral("cmd%1").arg(ID_FILE_CREATE_IMAGE));
    QVERIFY(command);
    QVERIFY(command->isEnabled());
    bool offered = false, finished = false;
    QString result;
    WhenModalShown([](QWidget* w) { return qobject_cast<CDiskImageDlg*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* dlg = static_cast<CDiskImageDlg*>(w);
                     offered = dlg->findChild<QComboBox*>(QStringLiteral("source"))->findText(source) >= 0;
                     Fill(dlg, source, dest);
                     Button(dlg, "start")->click();
                     finished = WaitUntil([dlg] { return !dlg->Running() && !dlg->FinishedImage().isEmpty(); });
                     result = dlg->findChild<QLabel*>(QStringLiteral("result"))->text();
                     SaveScreenshot(dlg, QStringLiteral("disk-image-dialog"));
                     dlg->reject();
                   });
    command->trigger();
    QVERIFY(offered);
    QVERIFY(finished);
    QVERIFY2(result.startsWith(QStringLiteral("Done: every sector")), qPrintable(result));
    QCOMPARE(QString::fromStdString(Sha256OfFile(dest.toStdString())),
             QString::fromStdString(Sha256OfFile(source.toStdString())));
    CRescueMap map;
    std::string error;
    QVERIFY2(map.Load((dest + ".map").toStdString(), 16u << 20, &error), error.c_str());
    QCOMPARE(map.Count('+'), uint64_t(16u << 20));
    bool added = false;
    for (const auto& d : m_doc->Disks()) added |= QString::fromStdString(d->m_source.strPath).endsWith("copy.img");
    QVERIFY(added);
  }

  // A file that exists is refused with a message, and left as it was.
  void refusesAnExistingFile() {
    const QString dest = m_dir.filePath(QStringLiteral("precious.img"));
    QFile f(dest);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("precious");
    f.close();
    CDiskImageDlg dlg({});
    dlg.show();
    Fill(&dlg, QString::fromStdString(FixturePath("fat16.img")), dest);
    CMessageBoxAnswerer answers({QStringLiteral("OK")});
    Button(&dlg, "start")->click();
    QVERIFY(WaitUntil([&] { return answers.Remaining() == 0; }, 5000));
    QVERIFY2(answers.Seen().value(0).contains(QStringLiteral("exists already")), qPrintable(answers.Seen().join('|')));
    QVERIFY(!dlg.Running());
    QCOMPARE(QFileInfo(dest).size(), qint64(8));
  }
};

QTEST_MAIN(DiskImageDialogTest)
#include "test_disk_image_dialog.moc"
