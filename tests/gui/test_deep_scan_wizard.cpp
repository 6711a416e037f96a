// The deep-scan wizard, its type tree and the scan progress dialog, driven through the real
// widgets: the three-state tree rules, the opening selection, the start page and the welcome
// page's setting, a deep scan of a fixture disk through the wizard, cancelling, and the
// lost-volume search on a disk whose partition table was wiped.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "deepscan/ScanSession.h"
#include "app/App.h"
#include "support/Hooks.h"
#include "app/Document.h"
#include "settings/Settings.h"
#include "deepscan/FileTypes.h"
#include "deepscan/VirtualDriver.h"
#include "device/PhysicalDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tasks/Progress.h"
#include "tree/DirEntry.h"
#include "tree/OutputFile.h"
#include "ui/BusyIndicator.h"
#include "ui/DeepScanWizard.h"
#include "ui/DeepScanningDlg.h"
#include "ui/GuiApp.h"
#include "ui/MutiTreeCtrl.h"
#include "ui/TaskRunnerQt.h"

namespace fs = std::filesystem;

namespace {

QTreeWidgetItem* Item(CMutiTreeCtrl* tree, const QString& text) {
  auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
  return found.size() == 1 ? found.front() : nullptr;
}

// Clicks the item's check box as a user would: its category opened, the row in view.
bool ClickCheckBox(CMutiTreeCtrl* tree, QTreeWidgetItem* item) {
  if (item->parent()) item->parent()->setExpanded(true);
  tree->scrollToItem(item);
  QRect box = tree->CheckBoxRect(item);
  if (box.isEmpty()) return false;
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, box.center());
  return true;
}



nlohmann::json FixtureFile(const std::string& image, const std::string& path) {
  std::ifstream in(FixturePath("manifest.json"));
  nlohmann::json manifest = nlohmann::json::parse(in);
  for (const auto& im : manifest["images"])
    if (im["name"] == image)
      for (const auto& v : im["volumes"])
        for (const auto& f : v["files"])
          if (f["path"] == path) return f;
  return {};
}

// What the folder-change notices reported, in order: 'b' begin, 'g' grew, 'e' end, each with
// the folder's child count at that moment.
struct FolderEvents {
  std::vector<std::pair<char, size_t>> list;
  std::function<void(int)> onGrew;  // called with the number of the notice, from 1
};

}  // namespace

class TestDeepScanWizard : public QObject {
  Q_OBJECT

 private:
  CTestHooks m_hooks;
  QTemporaryDir m_config;
  QTemporaryDir m_scratch;
  FolderEvents m_events;

 private slots:
  void initTestCase() {
    // The settings this test writes go to a private folder.
    QVERIFY(m_config.isValid() && m_scratch.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    // The wiring the main window makes: a results folder that needs filling runs the wizard;
    // carved files appended on the scan's worker are announced on the GUI thread.
    m_hooks.deepScan = [](CDirectory* folder) { RunDeepScan(folder, nullptr); };
    m_hooks.grew = [](CDirectory* folder) {
      CallOnGuiThread(qApp, [folder]() -> int64_t {
        NotifyFolderGrew(folder);
        return 0;
      });
    };
    FolderChangeListener listener;
    listener.begin = [this](CDirectory* f) { m_events.list.emplace_back('b', f->m_children.size()); };
    listener.end = [this](CDirectory* f) { m_events.list.emplace_back('e', f->m_children.size()); };
    listener.grew = [this](CDirectory* f) {
      m_events.list.emplace_back('g', f->m_children.size());
      if (m_events.onGrew)
        m_events.onGrew(int(std::count_if(m_events.list.begin(), m_events.list.end(),
                                          [](const auto& e) { return e.first == 'g'; })));
    };
    SetFolderChangeListener(listener);
  }

  void cleanupTestCase() {
    m_hooks.deepScan = nullptr;
    m_hooks.grew = nullptr;
    SetFolderChangeListener({});
  }

  // Clicks and the space bar on the type tree, from the opening selection; each row lists
  // the states expected afterwards (1 unchecked, 2 partial, 3 checked).
  void treeRules_data() {
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("expected");
    const QString bmp = "click:Bitmap (.bmp)", jpg = "click:JPG/JPEG (.jpg .jpeg)";
    const QStringList otherPictures = {"click:GIF Graphics File (.gif)",   "click:Paintbrush File (.pcx .scr)",
                                       "click:PNG Graphics File (.png)",   "click:Adobe Photoshop (.psd)",
                                       "click:TGA File (.tga)",            "click:TIFF Graphics File (.tif .tiff)"};
    QTest::newRow("bmp and jpg cleared: category unchecked")
        << QStringList{bmp, jpg} << QStringList{"Common Picture=1", "Bitmap (.bmp)=1", "JPG/JPEG (.jpg .jpeg)=1"};
    QTest::newRow("then one checked: partial")
        << QStringList{bmp, jpg, "click:GIF Graphics File (.gif)"}
        << QStringList{"Common Picture=2", "GIF Graphics File (.gif)=3", "Bitmap (.bmp)=1"};
    QTest::newRow("all eight checked: checked") << otherPictures << QStringList{"Common Picture=3"};
    QTest::newRow("partial category clicked: all entries checked")
        << QStringList{"click:Common Picture"}
        << QStringList{"Common Picture=3", "GIF Graphics File (.gif)=3", "TIFF Graphics File (.tif .tiff)=3"};
    QTest::newRow("unchecked category clicked: all entries checked")
        << QStringList{"click:Camera RAW Image"}
        << QStringList{"Camera RAW Image=3", "Canon RAW (.cr2 .crw)=3", "Olympus RAW (.orf)=3"};
    QTest::newRow("checked category clicked: all entries unchecked")
        << QStringList{"click:Microsoft Office Document"}
        << QStringList{"Microsoft Office Document=1", "Microsoft Office Word (.doc)=1",
                       "Microsoft Office PowerPoint 2007 (.pptx)=1"};
    QTest::newRow("last checked entry cleared: category unchecked")
        << QStringList{"click:Adobe PDF Document (.pdf)"} << QStringList{"Document=1"};
    QTest::newRow("space bar on an entry") << QStringList{"space:Nikon RAW (.nef)"}
                                           << QStringList{"Camera RAW Image=2", "Nikon RAW (.nef)=3"};
    QTest::newRow("space bar on a checked category")
        << QStringList{"space:Archive"} << QStringList{"Archive=1", "ZIP Archive (.zip)=1"};
  }

  void treeRules() {
    QFETCH(QStringList, actions);
    QFETCH(QStringList, expected);
    CDeepScanStep1 page;
    page.resize(520, 900);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    CMutiTreeCtrl* tree = page.m_pTree;
    for (const QString& action : actions) {
      QString kind = action.section(':', 0, 0), text = action.section(':', 1);
      QTreeWidgetItem* item = Item(tree, text);
      QVERIFY2(item, qPrintable(text));
      if (kind == "click") {
        QVERIFY2(ClickCheckBox(tree, item), qPrintable(text));
        QCOMPARE(tree->currentItem(), item);
      } else {
        tree->setCurrentItem(item);
        QTest::keyClick(tree, Qt::Key_Space);
      }
    }
    QApplication::processEvents();
    for (const QString& e : expected) {
      QTreeWidgetItem* item = Item(tree, e.section('=', 0, 0));
      QVERIFY2(item, qPrintable(e));
      int state = e.section('=', 1).toInt();
      QCOMPARE(tree->GetCheck(item), state);
      // What is drawn is the same state.
      const Qt::CheckState shown[] = {Qt::Unchecked, Qt::Unchecked, Qt::PartiallyChecked, Qt::Checked};
      QCOMPARE(item->checkState(0), shown[state]);
    }
  }

  // A click beside the check box, and the space bar on an item without one, change nothing.
  void treeIgnoresOtherInput() {
    CMutiTreeCtrl tree;
    auto* parent = new QTreeWidgetItem(&tree, {"parent"});
    auto* boxed = new QTreeWidgetItem(parent, {"boxed"});
    auto* plain = new QTreeWidgetItem(parent, {"plain"});
    tree.SetCheck(parent, CHECK_UNCHECKED, false);
    tree.SetCheck(boxed, CHECK_UNCHECKED, false);
    parent->setExpanded(true);
    tree.resize(300, 200);
    tree.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tree));
    QCOMPARE(tree.GetCheck(plain), int(CHECK_NONE));
    QVERIFY(tree.CheckBoxRect(plain).isEmpty());
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, tree.visualItemRect(boxed).center() + QPoint(60, 0));
    QCOMPARE(tree.GetCheck(boxed), int(CHECK_UNCHECKED));
    tree.setCurrentItem(plain);
    QTest::keyClick(&tree, Qt::Key_Space);
    QCOMPARE(tree.GetCheck(plain), int(CHECK_NONE));
    // Items without a box are left out of the comparison of siblings.
    tree.SetCheck(boxed, CHECK_CHECKED, true);
    QCOMPARE(tree.GetCheck(parent), int(CHECK_CHECKED));
    QCOMPARE(tree.GetCheck(plain), int(CHECK_NONE));
  }

  void openingSelection() {
    CDeepScanStep1 page;
    CMutiTreeCtrl* tree = page.m_pTree;
    const std::pair<const char*, int> categories[] = {
        {"Common Picture", 2}, {"Camera RAW Image", 1}, {"Microsoft Office Document", 3}, {"Document", 2},
        {"Archive", 3},        {"Email", 1},            {"Multimedia", 2}};
    QCOMPARE(tree->topLevelItemCount(), 7);
    for (int i = 0; i < 7; ++i) {
      QTreeWidgetItem* item = tree->topLevelItem(i);
      QCOMPARE(item->text(0), QString(categories[i].first));
      QCOMPARE(tree->GetCheck(item), categories[i].second);
      QCOMPARE(item->isExpanded(), i == 0);
    }
    QCOMPARE(tree->currentItem(), tree->topLevelItem(0));
    // Every entry, in catalogue order, with its default.
    const auto& catalogue = Catalogue();
    for (size_t c = 0; c < catalogue.size(); ++c) {
      QTreeWidgetItem* category = tree->topLevelItem(int(c));
      QCOMPARE(category->childCount(), int(catalogue[c].entries.size()));
      for (size_t e = 0; e < catalogue[c].entries.size(); ++e) {
        QCOMPARE(category->child(int(e))->text(0), QString(catalogue[c].entries[e].szDescription));
        QCOMPARE(tree->GetCheck(category->child(int(e))), catalogue[c].entries[e].bCheckedAtStart ? 3 : 1);
      }
    }
    // The defaults become the catalogue's default flags; everything cleared clears all
    // forty, JPEG included.
    CLogicalDriver volume;
    SetAllScanFlags(volume, true);
    page.ApplyTypeSelection(&volume);
    QVERIFY(FlagsAreDefaults(volume));
    for (int i = 0; i < 7; ++i) tree->SetCheck(tree->topLevelItem(i), CHECK_UNCHECKED, true);
    page.ApplyTypeSelection(&volume);
    for (const NamedFlag& f : ScanFlags()) QCOMPARE(volume.*(f.pFlag), 0u);
  }

  void startPageAndBack() {
    for (bool welcome : {false, true}) {
      CDeepScanWizard wizard;
      wizard.SetUp(welcome);
      wizard.show();
      QVERIFY(QTest::qWaitForWindowExposed(&wizard));
      QCOMPARE(wizard.windowTitle(), QString("Deep Scan Recovery Wizard"));
      if (welcome) {
        QCOMPARE(wizard.currentId(), int(DEEPSCAN_PAGE_WELCOME));
        SaveScreenshot(&wizard, "deepscan_wizard_welcome");
        wizard.button(QWizard::NextButton)->click();
      }
      QCOMPARE(wizard.currentId(), int(DEEPSCAN_PAGE_TYPES));
      QAbstractButton* finish = wizard.button(QWizard::FinishButton);
      QVERIFY(finish->isVisible() && finish->isEnabled());
      QCOMPARE(finish->text(), QString("Start Scan"));
      QVERIFY(!wizard.button(QWizard::NextButton)->isVisible());
      if (!welcome) SaveScreenshot(&wizard, "deepscan_wizard_types");
      QAbstractButton* back = wizard.button(QWizard::BackButton);
      QVERIFY(back->isVisible() && back->isEnabled());
      back->click();
      QCOMPARE(wizard.currentId(), int(DEEPSCAN_PAGE_WELCOME));
      QVERIFY(wizard.button(QWizard::NextButton)->isVisible());
      wizard.reject();
    }
  }

  void showNextIsWrittenAtOnce() {
    TheApp().m_settings.DeepScanWizard = 1;
    QVERIFY(SaveSettings(TheApp().m_settings));
    {
      CDeepScanWizard wizard;
      wizard.SetUp(true);
      wizard.show();
      QVERIFY(QTest::qWaitForWindowExposed(&wizard));
      QCheckBox* box = wizard.m_pStep0->m_pShowNext;
      QVERIFY(box->isChecked());
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
      QVERIFY(!box->isChecked());
      CSettings stored;
      LoadSettings(stored);
      QCOMPARE(stored.DeepScanWizard, 0u);
      QCOMPARE(TheApp().m_settings.DeepScanWizard, 0u);
      wizard.reject();
    }
    CSettings stored;
    LoadSettings(stored);
    QCOMPARE(stored.DeepScanWizard, 0u);
    // A wizard opened now starts with the box cleared; ticking it writes 1.
    CDeepScanWizard wizard;
    wizard.SetUp(false);
    QVERIFY(!wizard.m_pStep0->m_pShowNext->isChecked());
    wizard.m_pStep0->m_pShowNext->click();
    LoadSettings(stored);
    QCOMPARE(stored.DeepScanWizard, 1u);
  }

  // fat12.img as a disk: its virtual volume's results folder is opened, the wizard is clicked
  // through with the default types, and the scan carves the two JPEG-shaped deleted files.
  void deepScanThroughTheWizard() {
    auto doc = MakeImageDocument({QString::fromStdString(FixturePath("fat12.img"))});
    QCOMPARE(doc->VirtualVolumes().size(), size_t(1));
    QCOMPARE(doc->Volumes().size(), size_t(1));
    CLogicalDriver* disk = doc->VirtualVolumes()[0].get();
    CLogicalDriver* fat = doc->Volumes()[0].get();
    CDirectory* folder = disk->m_pLostFolder;
    QVERIFY(folder && !folder->m_bLoaded);
    // An earlier result that the new scan replaces.
    folder->AddChild(std::make_unique<CVirtualFile>())->m_strName = u"FILE_1.OLD";
    SetAllScanFlags(*disk, false);
    TheApp().m_settings.DeepScanWizard = 1;
    m_events.list.clear();

    QList<int> pages;
    QString finishText;
    WhenModalShown([](QWidget* w) { return qobject_cast<CDeepScanWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* wizard = static_cast<CDeepScanWizard*>(w);
                     pages << wizard->currentId();
                     wizard->button(QWizard::NextButton)->click();
                     pages << wizard->currentId();
                     finishText = wizard->button(QWizard::FinishButton)->text();
                     wizard->button(QWizard::FinishButton)->click();
                   });
    QPointer<CDeepScanningDlg> dialog;
    QString caption, endUnits, endFound, endStatus;
    bool playing = false, barFull = false;
    m_events.onGrew = [&](int n) {
      if (n == 1) {
        dialog = qobject_cast<CDeepScanningDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        caption = dialog->windowTitle();
        playing = dialog->m_pAnimation->IsPlaying();
        connect(dialog, &QDialog::finished, [&] {
          endUnits = dialog->m_pUnits->text();
          endFound = dialog->m_pFound->text();
          endStatus = dialog->m_pStatus->text();
          barFull = dialog->m_pBar->value() == dialog->m_pBar->maximum();
        });
      }
      if (n == 2 && dialog) SaveScreenshot(dialog, "deepscan_progress");
    };
    // Opening the folder asks for its children, which runs the wizard.
    folder->LoadChildren(false, false, false);
    m_events.onGrew = nullptr;

    QCOMPARE(pages, (QList<int>{DEEPSCAN_PAGE_WELCOME, DEEPSCAN_PAGE_TYPES}));
    QCOMPARE(finishText, QString("Start Scan"));
    QVERIFY(FlagsAreDefaults(*disk));
    QVERIFY2(dialog.isNull(), "the progress dialog lives for one scan");
    QCOMPARE(caption, QString("Find Lost Files..."));
    QVERIFY(playing);
    QCOMPARE(endStatus, QString("Scanning..."));
    QVERIFY2(endUnits.startsWith(QString("100% (")), qPrintable(endUnits));
    QCOMPARE(endFound, QString("2"));
    QVERIFY(barFull);

    // The lists were told before the old result went, of each carved file, and at the end.
    using Events = std::vector<std::pair<char, size_t>>;
    QVERIFY(m_events.list == (Events{{'b', 1}, {'g', 1}, {'g', 2}, {'e', 2}}));

    QVERIFY(folder->m_bLoaded);
    QCOMPARE(folder->m_children.size(), size_t(2));
    // The scan ends with a summary that stays until it is closed.
    const QStringList summaries = TakeJobSummaries();
    QCOMPARE(summaries.size(), 1);
    QVERIFY2(summaries[0].startsWith("2 files found.\nThey are listed in the \"LostFiles\" folder"),
             qPrintable(summaries[0]));
    auto holiday = FixtureFile("fat12.img", "Holiday photo.jpg");
    auto torn = FixtureFile("fat12.img", "TORN.JPG");
    QVERIFY(!holiday.is_null() && !torn.is_null());
    auto* first = dynamic_cast<CVirtualFile*>(folder->m_children[0].get());
    auto* second = dynamic_cast<CVirtualFile*>(folder->m_children[1].get());
    QVERIFY(first && second);
    QCOMPARE(QString::fromStdU16String(first->m_strName), QString("FILE_1.JPG"));
    QCOMPARE(QString::fromStdU16String(second->m_strName), QString("FILE_2.JPG"));
    QCOMPARE(first->m_nStartUnit, fat->ClusterToSector(holiday["clusters"][0][0].get<uint64_t>()));
    QCOMPARE(second->m_nStartUnit, fat->ClusterToSector(torn["clusters"][0][0].get<uint64_t>()));
    QCOMPARE(first->m_nSize, holiday["size"].get<uint64_t>());
    // The scan is recorded for File > Save Scan: complete, with both finds.
    auto* session = dynamic_cast<CScanSession*>(disk->m_pScanJournal.get());
    QVERIFY(session && session->Complete());
    QCOMPARE(session->Finds(), size_t(2));
    CMemoryOutputFile bytes;
    QVERIFY(first->WriteContent(bytes, nullptr, 0));
    QCOMPARE(Sha256Hex(std::string_view(reinterpret_cast<const char*>(bytes.Bytes().data()), bytes.Bytes().size())),
             holiday["sha256"].get<std::string>());

    // Opened again with results, the cancelled wizard keeps them and marks the folder loaded;
    // the type flags stay as they were.
    folder->m_bLoaded = false;
    SetAllScanFlags(*disk, false);
    WhenModalShown([](QWidget* w) { return qobject_cast<CDeepScanWizard*>(w) != nullptr; },
                   [](QWidget* w) { static_cast<QWizard*>(w)->button(QWizard::CancelButton)->click(); });
    folder->LoadChildren(false, false, false);
    QVERIFY(folder->m_bLoaded);
    QCOMPARE(folder->m_children.size(), size_t(2));
    for (const NamedFlag& f : ScanFlags()) QCOMPARE(disk->*(f.pFlag), 0u);
  }

  // Cancelling the wizard (opened on the type page: DeepScanWizard 0) on an empty folder
  // leaves it not loaded, and the next opening asks again.
  void cancelOnAnEmptyFolder() {
    auto doc = MakeImageDocument({QString::fromStdString(FixturePath("fat12.img"))});
    CDirectory* folder = doc->VirtualVolumes()[0]->m_pLostFolder;
    TheApp().m_settings.DeepScanWizard = 0;
    int shown = 0;
    QList<int> pages;
    for (int run = 0; run < 2; ++run) {
      WhenModalShown([](QWidget* w) { return qobject_cast<CDeepScanWizard*>(w) != nullptr; },
                     [&](QWidget* w) {
                       auto* wizard = static_cast<QWizard*>(w);
                       ++shown;
                       pages << wizard->currentId();
                       wizard->button(QWizard::CancelButton)->click();
                     });
      folder->LoadChildren(false, false, false);
      QVERIFY(!folder->m_bLoaded);
      QVERIFY(folder->m_children.empty());
    }
    QCOMPARE(shown, 2);
    QCOMPARE(pages, (QList<int>{DEEPSCAN_PAGE_TYPES, DEEPSCAN_PAGE_TYPES}));
  }

  // Cancel in the progress dialog stops the scan at once; what was carved stays, and the
  // folder is loaded because something was found.
  void cancelDuringTheScan() {
    // A 64 GiB sparse disk: a BMP near its start and one at its end, holes between.
    std::string path = (m_scratch.path() + "/sparse.img").toStdString();
    const uint64_t sectors = (64ULL << 30) / 512;
    {
      std::fstream f(path, std::ios::out | std::ios::binary | std::ios::trunc);
      PutBmp(f, 10 * 512, 3000);
      PutBmp(f, (sectors - 8) * 512, 1000);
    }
    fs::resize_file(path, sectors * 512);
    auto doc = MakeImageDocument({QString::fromStdString(path)});
    QCOMPARE(doc->VirtualVolumes().size(), size_t(1));
    CLogicalDriver* disk = doc->VirtualVolumes()[0].get();
    CDirectory* folder = disk->m_pLostFolder;
    TheApp().m_settings.DeepScanWizard = 0;
    WhenModalShown([](QWidget* w) { return qobject_cast<CDeepScanWizard*>(w) != nullptr; },
                   [](QWidget* w) { static_cast<QWizard*>(w)->button(QWizard::FinishButton)->click(); });
    bool cancelled = false;
    m_events.list.clear();
    m_events.onGrew = [&](int n) {
      auto* dialog = qobject_cast<CDeepScanningDlg*>(QApplication::activeModalWidget());
      if (n == 1 && dialog) {
        dialog->m_pCancel->click();
        cancelled = true;
      }
    };
    folder->LoadChildren(false, false, false);
    m_events.onGrew = nullptr;
    QVERIFY(cancelled);
    QCOMPARE(folder->m_children.size(), size_t(1));
    QCOMPARE(QString::fromStdU16String(folder->m_children[0]->m_strName), QString("FILE_1.BMP"));
    QCOMPARE(folder->m_children[0]->m_nSize, uint64_t(3000));
    QVERIFY(folder->m_bLoaded);
    QCOMPARE(m_events.list.back().first, 'e');
    doc.reset();
    fs::remove(path);
  }

  // The bar follows units beyond 2^31 by scaling; the counters show the 64-bit numbers.
  void progressOfAVeryLargeDevice() {
    CLogicalDriver volume;
    volume.m_nBytesPerCluster = 4096;
    // A results folder holding three files.
    struct CFolder : CDirectory {
      bool HasSubfolders(bool) override { return false; }
      void LoadChildren(bool, bool, bool) override {}
    } results;
    results.m_pDriver = &volume;
    for (int i = 0; i < 3; ++i) results.AddChild(std::make_unique<CVirtualFile>());
    volume.m_nFirstUnit = 2;
    volume.m_nLastUnit = (1ULL << 40) + 1;
    CDeepScanningDlg dialog(&results);
    // Sent from this thread, the messages are handled at once (no worker runs).
    dialog.Send(WM_SCANPROGRESS, SCAN_STARTED, 0);
    QCOMPARE(dialog.m_pStatus->text(), QString("Calculating..."));
    // Percent and bytes, not unit numbers: 2^40 units of 4 KiB.
    QCOMPARE(dialog.m_pUnits->text(), QString("0% (0 B of 4.00 PiB)"));
    QVERIFY2(dialog.m_pRate->text().endsWith(QString("--:--:-- left")), qPrintable(dialog.m_pRate->text()));
    QVERIFY(dialog.m_pBar->maximum() > INT_MAX / 2);
    dialog.Send(WM_SCANPROGRESS, SCAN_UNITS, 0);
    QCOMPARE(dialog.m_pStatus->text(), QString("Scanning..."));
    QCOMPARE(dialog.m_pBar->value(), 0);
    dialog.Send(WM_SCANPROGRESS, SCAN_POSITION, int64_t((1ULL << 39) + 2));  // half of the 2^40 units done
    QCOMPARE(dialog.m_pUnits->text(), QString("50% (2.00 PiB of 4.00 PiB)"));
    QCOMPARE(dialog.m_pFound->text(), QString("3"));
    QVERIFY(std::abs(dialog.m_pBar->value() - dialog.m_pBar->maximum() / 2) <= 1);
    dialog.Send(WM_SCANPROGRESS, SCAN_POSITION, int64_t(volume.m_nLastUnit));
    QCOMPARE(dialog.m_pBar->value(), dialog.m_pBar->maximum());
  }

  // Mode 1 on disk.img with its partition table wiped finds the four volumes and appends
  // them to the document; the files-found counter stays 0.
  void lostVolumeSearch() {
    std::string zeroed = (m_scratch.path() + "/zeroed.img").toStdString();
    fs::copy_file(FixturePath("disk.img"), zeroed, fs::copy_options::overwrite_existing);
    {
      std::fstream f(zeroed, std::ios::in | std::ios::out | std::ios::binary);
      std::vector<char> zero(512, 0);
      f.write(zero.data(), 512);
    }
    auto doc = MakeImageDocument({QString::fromStdString(zeroed)});
    QVERIFY(doc->Volumes().empty());
    QCOMPARE(doc->Disks().size(), size_t(1));
    CPhysicalDriver* disk = doc->Disks()[0].get();
    disk->m_nFirstUnit = 0;
    disk->m_nLastUnit = disk->m_nClusterCount;

    CDeepScanningDlg dialog(disk, doc.get());
    QCOMPARE(dialog.m_nMode, 1);
    QString endUnits, endFound;
    connect(&dialog, &QDialog::finished, [&] {
      endUnits = dialog.m_pUnits->text();
      endFound = dialog.m_pFound->text();
      SaveScreenshot(&dialog, "deepscan_lost_volumes_done");
    });
    QTimer::singleShot(300000, &dialog, &QDialog::reject);  // a bound, should the search hang
    dialog.exec();
    QVERIFY(dialog.m_bResult);
    QCOMPARE(dialog.windowTitle(), QString("Find Lost Drives..."));
    QCOMPARE(endFound, QString("0"));
    QVERIFY2(endUnits.startsWith(QString("100% (")), qPrintable(endUnits));
    std::vector<std::pair<QString, uint64_t>> found;
    for (const auto& v : doc->Volumes()) found.emplace_back(QString::fromStdU16String(v->m_szName), v->m_nSectorOffset);
    QVERIFY(found == (std::vector<std::pair<QString, uint64_t>>{{"LostDriver_2049", 2048},
                                                                 {"LostDriver_10241", 10240},
                                                                 {"LostDriver_43009", 43008},
                                                                 {"LostDriver_124929", 124928}}));
    // The summary names the disk and lists each volume found.
    TakeJobSummaries();  // those of the scans before
    dialog.ShowSummary(nullptr);
    QStringList summaries = TakeJobSummaries();
    QCOMPARE(summaries.size(), 1);
    const QString& summary = summaries[0];
    QVERIFY2(summary.startsWith("4 lost volumes found on " + QString::fromStdU16String(disk->m_szName) + ".\n"),
             qPrintable(summary));
    for (const auto& v : doc->Volumes())
      QVERIFY2(summary.contains(QStringLiteral("%1: %2, %3, at sector %4")
                                    .arg(QString::fromStdU16String(v->m_szName),
                                         QString::fromStdU16String(v->GetFileSystemText()),
                                         QString::fromStdU16String(v->GetSizeText()))
                                    .arg(v->m_nSectorOffset)),
               qPrintable(summary));

    // A search of a range that holds no volume says so, with a hint.
    disk->m_nFirstUnit = 1;
    disk->m_nLastUnit = 64;
    CDeepScanningDlg empty(disk, doc.get());
    QTimer::singleShot(300000, &empty, &QDialog::reject);
    empty.exec();
    QVERIFY(empty.m_bResult);
    empty.ShowSummary(nullptr);
    summaries = TakeJobSummaries();
    QCOMPARE(summaries, QStringList{"No lost volumes found on " + QString::fromStdU16String(disk->m_szName) +
                                    ".\nTry a wider sector range, or deep scan the disk for lost files."});
  }

  // A deep scan that found nothing, or was stopped, says so in its summary.
  void deepScanSummaryWithoutFiles() {
    CLogicalDriver volume;
    struct CFolder : CDirectory {
      bool HasSubfolders(bool) override { return false; }
      void LoadChildren(bool, bool, bool) override {}
    } results;
    results.m_pDriver = &volume;
    CDeepScanningDlg dialog(&results);
    dialog.m_bResult = true;
    TakeJobSummaries();  // those of the scans before
    dialog.ShowSummary(nullptr);
    QStringList summaries = TakeJobSummaries();
    QCOMPARE(summaries.size(), 1);
    QVERIFY2(summaries[0].startsWith("No files found.\nTry again with more file types checked"), qPrintable(summaries[0]));
    dialog.m_bResult = false;  // stopped after one find
    dialog.m_nFound = 1;
    dialog.ShowSummary(nullptr);
    summaries = TakeJobSummaries();
    QCOMPARE(summaries.size(), 1);
    QVERIFY2(summaries[0].startsWith("1 file found.\nThe scan did not run to its end"), qPrintable(summaries[0]));
  }
};

QTEST_MAIN(TestDeepScanWizard)
#include "test_deep_scan_wizard.moc"
