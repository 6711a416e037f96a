// The windows in German, the language whose texts run longest: every label, check box, radio
// button and push button of the main window and of the dialogs gets at least the room its
// text asks for (nothing is clipped), and the texts are the German ones. Screenshots of the
// German windows go to the artifacts.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QWizard>
#include <functional>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "settings/Language.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanWizard.h"
#include "ui/DeepScanningDlg.h"
#include "ui/DiskImageDlg.h"
#include "ui/FindLostDlgs.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/MainFrame.h"
#include "ui/OptionsDlg.h"
#include "ui/PropertiesDlg.h"
#include "ui/RecoverWizard.h"
#include "ui/UiText.h"
#include "ui/WelcomeWizard.h"

namespace {

const QString kShippedLanguageDir = QStringLiteral(QUARROW_FIXTURE_DIR "/../../Language");

// The texts of the visible labels and buttons below window that get less room than their
// text needs: narrower than their size hint, or (wrapped labels) shorter than their text at
// their width.
QStringList ClippedTexts(QWidget* window) {
  QStringList clipped;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisibleTo(window) || w->width() <= 0) continue;
    QString text;
    bool fits = true;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      text = label->text();
      if (text.isEmpty() || !label->pixmap().isNull()) continue;
      if (label->wordWrap())
        fits = label->heightForWidth(label->width()) <= label->height() + 1;
      else
        fits = label->sizeHint().width() <= label->width() + 1;
    } else if (qobject_cast<QCheckBox*>(w) || qobject_cast<QRadioButton*>(w) || qobject_cast<QPushButton*>(w)) {
      auto* button = static_cast<QAbstractButton*>(w);
      text = button->text();
      if (text.isEmpty()) continue;
      fits = button->sizeHint().width() <= button->width() + 1;
    } else {
      continue;
    }
    if (!fits) clipped << QStringLiteral("%1 (%2 wide, needs %3)").arg(text).arg(w->width()).arg(w->sizeHint().width());
  }
  return clipped;
}

// Shows window, lets its layout settle, and answers what it clips.
QStringList ShowAndCheck(QWidget* window) {
  window->show();
  if (!QTest::qWaitForWindowExposed(window)) return {QStringLiteral("<not shown>")};
  // Texts set while the window opens are laid out by the next pass of the event loop.
  QTest::qWait(100);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  return ClippedTexts(window);
}

}  // namespace

class TestLanguageLayout : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  std::unique_ptr<CKelvoDoc> m_doc;

 private slots:
  void initTestCase() {
    m_app.InitCore(nullptr);
    ChooseLanguageFile(LANG_GERMAN, QDir(kShippedLanguageDir).absolutePath().toStdString() + "/");
    QVERIFY(LanguageFilePath().ends_with("german.ini"));
    InstallQtTranslations();
    m_doc = MakeImageDocument({QString::fromStdString(FixturePath("fat12.img"))});
  }

  void cleanupTestCase() {
    ChooseLanguageFile(LANG_ENGLISH, "/nonexistent/");
    InstallQtTranslations();
  }

  void mainWindow() {
    CMainFrame frame(m_doc.get());
    frame.resize(960, 710);
    QCOMPARE(ShowAndCheck(&frame), QStringList{});
    QCOMPARE(frame.menuBar()->actions().first()->text(), QStringLiteral("&Datei"));
    QCOMPARE(frame.TreePane()->Tree()->m_pDisks->text(0), QStringLiteral("Physische Laufwerke"));
    frame.TreePane()->Tree()->setCurrentItem(frame.TreePane()->Tree()->m_pComputer->child(0));
    QApplication::processEvents();
    SaveScreenshot(&frame, QStringLiteral("german_main_window"));
  }

  // Each dialog, made by the code the program uses, in German and unclipped.
  void dialogs_data() {
    QTest::addColumn<QString>("name");
    for (const char* name : {"options_general", "options_language", "properties", "welcome_wizard", "welcome_devices",
                             "deep_scan_welcome", "deep_scan_types", "recover_wizard", "find_lost_drives",
                             "cluster_range", "deep_scan_progress", "disk_image"})
      QTest::newRow(name) << QString::fromLatin1(name);
  }

  void dialogs() {
    QFETCH(QString, name);
    CLogicalDriver* volume = m_doc->Volumes()[0].get();
    volume->m_pRoot->LoadChildren(false, false, false);
    CDirEntry* file = nullptr;
    for (const auto& child : volume->m_pRoot->m_children)
      if (!child->IsDirectory()) file = child.get();
    QVERIFY(file);

    std::unique_ptr<QWidget> window;
    QString expected;  // a text the window must show in German
    if (name.startsWith(QStringLiteral("options"))) {
      auto* sheet = new COptionsSheet;
      if (name == QStringLiteral("options_language")) sheet->Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
      window.reset(sheet);
      expected = name == QStringLiteral("options_language") ? QStringLiteral("Sprache:")
                                                            : QStringLiteral("Keine Vorschau für Dateien größer als:");
    } else if (name == QStringLiteral("properties")) {
      window.reset(CreatePropertiesDialog(nullptr, file));
      expected = QStringLiteral("Größe auf Datenträger:");
    } else if (name.startsWith(QStringLiteral("welcome"))) {
      auto* wizard = new CWelcomeWizard(m_doc.get());
      window.reset(wizard);
      if (name == QStringLiteral("welcome_devices")) {
        wizard->show();
        wizard->button(QWizard::NextButton)->click();
        expected = QStringLiteral("Wählen Sie das zu durchsuchende Speichergerät");
      } else {
        expected = QStringLiteral("Laufwerk nach gelöschten Dateien &durchsuchen");
      }
    } else if (name.startsWith(QStringLiteral("deep_scan_w")) || name == QStringLiteral("deep_scan_types")) {
      auto* wizard = new CDeepScanWizard;
      wizard->m_pTarget = volume;
      wizard->SetUp(name == QStringLiteral("deep_scan_welcome"));
      window.reset(wizard);
      expected = name == QStringLiteral("deep_scan_welcome") ? QStringLiteral("Diese Seite beim nächsten Mal zeigen")
                                                             : QStringLiteral("Scan starten");
    } else if (name == QStringLiteral("recover_wizard")) {
      window.reset(new CFileRecoverWizard([file] { return std::vector<CDirEntry*>{file}; }));
      expected = QStringLiteral("Durchsuchen...");
    } else if (name == QStringLiteral("find_lost_drives")) {
      window.reset(new CFindLostDriversDlg(*m_doc));
      expected = QStringLiteral("Wählen Sie das physische Laufwerk, das durchsucht werden soll:");
    } else if (name == QStringLiteral("cluster_range")) {
      window.reset(new CFindLostFilesDlg(2, 4000, 2048));
      expected = QStringLiteral("Zu durchsuchende Cluster:");
    } else if (name == QStringLiteral("deep_scan_progress")) {
      auto* dialog = new CDeepScanningDlg(volume->m_pLostFolder);
      window.reset(dialog);
      dialog->Send(WM_SCANPROGRESS, SCAN_STARTED, 0);
      dialog->Send(WM_SCANPROGRESS, SCAN_UNITS, 0);
      expected = QStringLiteral("Gefundene Dateien:");
    } else if (name == QStringLiteral("disk_image")) {
      window.reset(new CDiskImageDlg({QString::fromStdString(FixturePath("fat12.img"))}));
      expected = QStringLiteral("Abbilddatei:");
    }
    QVERIFY(window);
    const QStringList clipped = ShowAndCheck(window.get());
    QVERIFY2(clipped.isEmpty(), qPrintable(name + QStringLiteral(": ") + clipped.join(QStringLiteral("; "))));
    QStringList texts;
    for (QLabel* l : window->findChildren<QLabel*>()) texts << l->text();
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) texts << b->text();
    if (auto* wizard = qobject_cast<QWizard*>(window.get())) texts << wizard->currentPage()->title() << wizard->buttonText(QWizard::FinishButton);
    QVERIFY2(texts.contains(expected), qPrintable(name + QStringLiteral(" lacks ") + expected));
    SaveScreenshot(window.get(), QStringLiteral("german_") + name);
  }
};

QTEST_MAIN(TestLanguageLayout)
#include "test_language_layout.moc"
