// The search page and the result pane over the FAT fixture images and a generated FAT image
// with a large folder: the criteria against the files the manifest lists, "Look in:"
// following the tree, Cancel and a second search, another task taking the runner over, a hit
// recovered through the active list, and the exclusion between the search worker and the
// GUI thread.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QDockWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <QHeaderView>
#include <QTimer>
#include <QWizard>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "ntfs/NTFSDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tasks/TaskRunner.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/MainFrame.h"
#include "ui/NtfsScanDlg.h"
#include "ui/RecoverWizard.h"
#include "ui/SearchDlg.h"
#include "ui/SearchResultPane.h"

namespace {

// The generated image: BIG holds kBigFolders folders of kBigFiles empty files each; OTHER
// holds a few folders the searches in BIG never enter.
constexpr int kBigFolders = 300;
constexpr int kBigFiles = 10;
constexpr int kBigHits = kBigFolders * (kBigFiles + 1);  // "*" with subfolders in BIG

CDirEntry* Child(CDirectory* folder, const std::u16string& name) {
  for (auto& child : folder->m_children)
    if (child && child->m_strName == name) return child.get();
  return nullptr;
}

// Builds the generated image with mkfs.fat and mtools (the tools the fixtures are made
// with); answers an error text, empty on success.
QString MakeBigImage(const QString& dir, const QString& image) {
  const QString src = dir + "/src";
  for (int d = 1; d <= kBigFolders; ++d) {
    const QString folder = QString("%1/BIG/D%2").arg(src).arg(d, 3, 10, QChar('0'));
    if (!QDir().mkpath(folder)) return "cannot make " + folder;
    for (int f = 1; f <= kBigFiles; ++f) {
      QFile file(QString("%1/F%2.TXT").arg(folder).arg(f, 2, 10, QChar('0')));
      if (!file.open(QIODevice::WriteOnly)) return "cannot make " + file.fileName();
    }
  }
  for (int d = 1; d <= 3; ++d) {
    const QString folder = QString("%1/OTHER/SUB%2").arg(src).arg(d);
    QDir().mkpath(folder);
    QFile file(folder + "/X.TXT");
    if (!file.open(QIODevice::WriteOnly) || file.write("x") != 1) return "cannot make " + file.fileName();
  }
  const std::string img = ShellQuote(image.toStdString());
  const std::string cmd = "export PATH=\"$PATH:/usr/sbin:/sbin\" MTOOLS_SKIP_CHECK=1; mkfs.fat -C -F 16 -s 4 -n BIGFAT " +
                          img + " 16384 >/dev/null && mcopy -s -i " + img + " " +
                          ShellQuote((src + "/BIG").toStdString()) + " " + ShellQuote((src + "/OTHER").toStdString()) +
                          " ::/";
  std::string out, err;
  if (RunCommand(cmd, &out, &err) != 0) return QString::fromStdString("image not made: " + out + err);
  return {};
}

}  // namespace

class TestSearch : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();
  void init();
  void pageControls();
  void criteria_data();
  void criteria();
  void pathColumnSortsAndElides();
  void lookInFollowsTheTree();
  void stopThenReadTheVolume();
  void stopFromInsideAHit();
  void cancelKeepsHitsAndSearchAgain();
  void anotherTaskStopsTheSearch();
  void hitRecoveredFromTheActiveList();

 private:
  // Chooses the folder to look in, types the pattern and sets the two plain check boxes;
  // the filters are switched off.
  void SetCriteria(CDirectory* folder, const QString& pattern, bool matchCase, bool subfolders);
  // Presses Search and waits for the end; answers false on a time-out.
  bool RunSearch();
  QPushButton* Button() const { return m_page->findChild<QPushButton*>("searchButton"); }
  // A folder of the generated image's root, which is loaded as the tree loads it.
  CDirectory* BigFolder(const std::u16string& name) {
    if (!m_pBig->m_bLoaded) m_pBig->LoadChildren(true, false, false);
    CDirEntry* folder = Child(m_pBig, name);
    return folder && folder->IsDirectory() ? static_cast<CDirectory*>(folder) : nullptr;
  }
  CFSListModel* Results() const { return m_pane->List()->Model(); }
  // The hits as "folder/name" below the volume's root; fails the test when a path does not
  // begin with the volume's root text.
  QStringList Hits(CDirectory* root) const;

  CKelvoApp m_app;
  QTemporaryDir m_tmp;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;
  std::unique_ptr<CSearchResultPane> m_pane;
  std::unique_ptr<CSearchDlg> m_page;
  CDirectory* m_pFat16 = nullptr;
  CDirectory* m_pFat12 = nullptr;
  CDirectory* m_pBig = nullptr;
  CNTFSDriver* m_pNtfs = nullptr;
  QString m_strName221;  // the fixture's file name of 221 characters
  std::map<QString, std::string> m_sha;  // fat16.img: path -> SHA-256
  int m_nFat16Items = 0, m_nFat16RootItems = 0;
};

void TestSearch::initTestCase() {
  static QTemporaryDir config;
  if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  m_app.InitCore(nullptr);
  const QString big = m_tmp.path() + "/big.img";
  const QString error = MakeBigImage(m_tmp.path(), big);
  QVERIFY2(error.isEmpty(), qPrintable(error));
  const QString fat16 = QString::fromStdString(FixturePath("fat16.img"));
  const QString fat12 = QString::fromStdString(FixturePath("fat12.img"));
  const QString ntfs = QString::fromStdString(FixturePath("ntfs.img"));
  m_doc = MakeImageDocument({fat16, fat12, ntfs, big});
  for (const auto& v : m_doc->Volumes()) {
    if (v->m_source.strPath == fat16.toStdString()) m_pFat16 = v->m_pRoot;
    if (v->m_source.strPath == fat12.toStdString()) m_pFat12 = v->m_pRoot;
    if (v->m_source.strPath == big.toStdString()) m_pBig = v->m_pRoot;
    if (v->m_source.strPath == ntfs.toStdString()) m_pNtfs = dynamic_cast<CNTFSDriver*>(v.get());
  }
  QVERIFY(m_pFat16 && m_pFat12 && m_pBig && m_pNtfs);

  std::ifstream in(FixturePath("manifest.json"));
  auto manifest = nlohmann::json::parse(in);
  for (const auto& image : manifest["images"]) {
    if (image["name"] != "fat16.img") continue;
    const auto& volume = image["volumes"][0];
    for (const auto& f : volume["files"]) {
      QString path = QString::fromStdString(f["path"].get<std::string>());
      m_sha[path] = f["sha256"].get<std::string>();
      if (path.startsWith("A name of 221")) m_strName221 = path;
    }
    for (const auto& items : {volume["files"], volume["folders"]})
      for (const auto& f : items) {
        ++m_nFat16Items;
        if (!QString::fromStdString(f["path"].get<std::string>()).contains('/')) ++m_nFat16RootItems;
      }
  }
  QVERIFY(!m_strName221.isEmpty());

  m_frame = std::make_unique<CMainFrame>(m_doc.get());
  m_pane = std::make_unique<CSearchResultPane>();
  m_page = std::make_unique<CSearchDlg>(m_doc.get(), m_pane.get());
  QVERIFY(GuiApp().m_pResultList == m_pane->List());
  QVERIFY(GuiApp().m_stopSearch);
  // Placed as the main window places them: the page as the left pane's "Search" page, the
  // pane in the "Search Result" dock, which a search shows.
  QTabWidget* pages = m_frame->LeftPages();
  delete pages->widget(1);
  pages->insertTab(1, m_page.get(), "Search");
  m_frame->ResultBar()->setWidget(m_pane.get());
  connect(m_pane.get(), &CSearchResultPane::SearchStarted, m_frame->ResultBar(), &QWidget::show);
  m_frame->setGeometry(CMainFrame::InitialGeometry(QRect(0, 0, 1280, 1024)));
  m_frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
}

void TestSearch::cleanupTestCase() {
  m_page.reset();
  QVERIFY(!GuiApp().m_stopSearch);
  m_pane.reset();
  QVERIFY(!GuiApp().m_pResultList);
  m_frame.reset();
  m_doc.reset();
}

void TestSearch::init() { m_frame->SetStatusText("Ready"); }

void TestSearch::SetCriteria(CDirectory* folder, const QString& pattern, bool matchCase, bool subfolders) {
  auto* lookIn = m_page->findChild<QComboBox*>("lookInCombo");
  int index = lookIn->findData(QVariant::fromValue(static_cast<void*>(folder)));
  QVERIFY(index >= 0);
  lookIn->setCurrentIndex(index);
  m_page->findChild<QLineEdit*>("patternEdit")->setText(pattern);
  m_page->findChild<QCheckBox*>("matchCaseCheck")->setChecked(matchCase);
  m_page->findChild<QCheckBox*>("subfoldersCheck")->setChecked(subfolders);
  m_page->findChild<QCheckBox*>("sizeFilterCheck")->setChecked(false);
  m_page->findChild<QCheckBox*>("dateFilterCheck")->setChecked(false);
}

bool TestSearch::RunSearch() {
  Button()->click();
  return WaitUntil([this] { return !m_page->IsRunning(); }, 120000);
}

QStringList TestSearch::Hits(CDirectory* root) const {
  QString prefix = Q(root->m_pDriver->m_strRootText);
  if (!prefix.endsWith('/')) prefix += '/';
  QStringList hits;
  for (int r = 0; r < Results()->rowCount(); ++r) {
    const QString name = Results()->index(r, 0).data().toString();
    const QString path = Results()->index(r, 1).data().toString();
    if (!path.startsWith(prefix)) {
      QTest::qFail(qPrintable("path " + path + " is not below " + prefix), __FILE__, __LINE__);
      return {};
    }
    hits << path.mid(prefix.size()) + name;
  }
  return hits;
}

void TestSearch::pageControls() {
  auto* lookIn = m_page->findChild<QComboBox*>("lookInCombo");
  // The volumes' root folders, the first one chosen.
  QCOMPARE(lookIn->count(), int(m_doc->Volumes().size()));
  QCOMPARE(lookIn->currentIndex(), 0);
  QCOMPARE(lookIn->itemText(0), Q(m_doc->Volumes()[0]->m_pRoot->m_strName));
  auto* kind = m_page->findChild<QComboBox*>("dateKindCombo");
  QCOMPARE(kind->currentText(), QString("Created"));
  QCOMPARE(kind->itemText(1), QString("Modified"));
  QCOMPARE(Button()->text(), QString("Search"));
  QVERIFY(!m_page->findChild<QCheckBox*>("subfoldersCheck")->isChecked());

  // Each filter box enables its own controls; the size boxes take digits only.
  auto* size = m_page->findChild<QCheckBox*>("sizeFilterCheck");
  auto* date = m_page->findChild<QCheckBox*>("dateFilterCheck");
  auto* low = m_page->findChild<QLineEdit*>("sizeLowEdit");
  auto* high = m_page->findChild<QLineEdit*>("sizeHighEdit");
  auto* from = m_page->findChild<QDateTimeEdit*>("dateFromEdit");
  auto* to = m_page->findChild<QDateTimeEdit*>("dateToEdit");
  QVERIFY(!low->isEnabled() && !high->isEnabled() && !kind->isEnabled() && !from->isEnabled() && !to->isEnabled());
  size->setChecked(true);
  QVERIFY(low->isEnabled() && high->isEnabled() && !kind->isEnabled() && !from->isEnabled());
  date->setChecked(true);
  QVERIFY(kind->isEnabled() && from->isEnabled() && to->isEnabled());
  low->clear();
  QTest::keyClicks(low, "1x2-3");
  QCOMPARE(low->text(), QString("123"));
  size->setChecked(false);
  QVERIFY(!low->isEnabled() && !high->isEnabled() && kind->isEnabled());
  date->setChecked(false);

  // A page inside the main window, not a window of its own: Escape does not close it, and
  // showing it gives the pattern box the focus.
  QVERIFY(!m_page->isWindow());
  QVERIFY(!m_page->isVisible());
  m_frame->OnSearch();
  QCOMPARE(m_frame->LeftPages()->currentWidget(), static_cast<QWidget*>(m_page.get()));
  QVERIFY(m_page->isVisible());
  QTRY_VERIFY(m_page->findChild<QLineEdit*>("patternEdit")->hasFocus());
  QTest::keyClick(m_page->findChild<QLineEdit*>("patternEdit"), Qt::Key_Escape);
  QVERIFY(m_page->isVisible());
  QVERIFY(!m_frame->ResultBar()->isVisible());
  QApplication::processEvents();  // the page's pending layout in the dock, before the picture
  SaveScreenshot(m_page.get(), "search_page");
}

void TestSearch::criteria_data() {
  QTest::addColumn<QString>("pattern");
  QTest::addColumn<bool>("matchCase");
  QTest::addColumn<bool>("subfolders");
  QTest::addColumn<QString>("size");   // "low high" in KB, or empty for no size filter
  QTest::addColumn<QString>("date");   // "kind low high" in seconds, or empty
  QTest::addColumn<QStringList>("expected");  // sorted, or {"#N"}: N hits

  const QStringList txtAnyCase = {"A long file name.txt", "AFTER.TXT", "ANAMEO~2.TXT", "Docs/Empty inside.txt",
                                  "Docs/NOTE.TXT", "EMPTY.TXT", "Exactly13.txt", "OldStuff/Empty note.txt",
                                  "OldStuff/_LD1.TXT", "README.TXT", "Removed notes.txt",
                                  "Twenty-six char name 1.txt", "Ünïcödé €.txt", "<221>"};
  QTest::newRow("*.TXT any case, subfolders") << "*.TXT" << false << true << "" << "" << txtAnyCase;
  QTest::newRow("*.TXT match case") << "*.TXT" << true << true << "" << ""
                                    << QStringList{"AFTER.TXT", "ANAMEO~2.TXT", "Docs/NOTE.TXT", "EMPTY.TXT",
                                                   "OldStuff/_LD1.TXT", "README.TXT"};
  QTest::newRow("*.txt match case, no subfolders")
      << "*.txt" << true << false << "" << ""
      << QStringList{"A long file name.txt", "Exactly13.txt", "Removed notes.txt", "Twenty-six char name 1.txt",
                     "Ünïcödé €.txt", "<221>"};
  QTest::newRow("? and * any case") << "*PHOTO.JP?" << false << true << "" << "" << QStringList{"Holiday photo.jpg"};
  QTest::newRow("? and * match case") << "*PHOTO.JP?" << true << true << "" << "" << QStringList{};
  // 10 KB < size < 20 KB, that is 10,241 to 20,479 bytes; an empty pattern is "*".
  QTest::newRow("size 10 to 20 KB") << "" << false << true << "10 20" << ""
                                    << QStringList{"FRAG.BIN", "PATTERN.BIN", "_ORN.JPG"};
  QTest::newRow("size bounds exclusive") << "*.BIN" << false << true << "19 19" << "" << QStringList{};
  QTest::newRow("every item") << "*" << false << true << "" << "" << QStringList{QString("#%1").arg(m_nFat16Items)};
  QTest::newRow("first level only") << "" << false << false << "" << ""
                                    << QStringList{QString("#%1").arg(m_nFat16RootItems)};
  // Every FAT time of the fixtures is 1700000000 (a day either side covers any time zone).
  QTest::newRow("created that day") << "*" << false << true << "" << "0 1699913600 1700086400"
                                    << QStringList{QString("#%1").arg(m_nFat16Items)};
  QTest::newRow("modified the day after") << "*" << false << true << "" << "1 1700086400 1700172800" << QStringList{};
}

void TestSearch::criteria() {
  QFETCH(QString, pattern);
  QFETCH(bool, matchCase);
  QFETCH(bool, subfolders);
  QFETCH(QString, size);
  QFETCH(QString, date);
  QFETCH(QStringList, expected);
  SetCriteria(m_pFat16, pattern, matchCase, subfolders);
  if (!size.isEmpty()) {
    m_page->findChild<QCheckBox*>("sizeFilterCheck")->setChecked(true);
    m_page->findChild<QLineEdit*>("sizeLowEdit")->setText(size.section(' ', 0, 0));
    m_page->findChild<QLineEdit*>("sizeHighEdit")->setText(size.section(' ', 1, 1));
  }
  if (!date.isEmpty()) {
    m_page->findChild<QCheckBox*>("dateFilterCheck")->setChecked(true);
    m_page->findChild<QComboBox*>("dateKindCombo")->setCurrentIndex(date.section(' ', 0, 0).toInt());
    m_page->findChild<QDateTimeEdit*>("dateFromEdit")
        ->setDateTime(QDateTime::fromSecsSinceEpoch(date.section(' ', 1, 1).toLongLong()));
    m_page->findChild<QDateTimeEdit*>("dateToEdit")
        ->setDateTime(QDateTime::fromSecsSinceEpoch(date.section(' ', 2, 2).toLongLong()));
  }
  QSignalSpy started(m_pane.get(), &CSearchResultPane::SearchStarted);
  QVERIFY(RunSearch());
  QCOMPARE(started.count(), 1);
  QVERIFY(m_frame->ResultBar()->isVisible());
  QCOMPARE(Button()->text(), QString("Search"));

  QStringList hits = Hits(m_pFat16);
  for (const QString& hit : hits) QVERIFY2(!hit.contains("LostFiles"), qPrintable(hit));
  if (expected.size() == 1 && expected[0].startsWith('#')) {
    QCOMPARE(hits.size(), expected[0].mid(1).toInt());
  } else {
    hits.replaceInStrings(m_strName221, "<221>");
    hits.sort();
    expected.sort();
    QCOMPARE(hits, expected);
  }
  QCOMPARE(m_frame->StatusText(), hits.size() == 1 ? QString("Found 1 item") : QString("Found %1 items").arg(hits.size()));
  if (QByteArray(QTest::currentDataTag()) == "*.TXT any case, subfolders") {
    QApplication::processEvents();
    m_frame->resizeDocks({m_frame->ResultBar()}, {260}, Qt::Vertical);
    QTRY_VERIFY(m_pane->height() > 200);
    SaveScreenshot(m_pane.get(), "search_result_pane");
    SaveScreenshot(m_frame.get(), "search_in_main_window");
  }
}

// The Path column shows each hit's folder, shortened in the middle where it is too long, and a
// click on its header sorts by folder, then name, in the order the header shows.
void TestSearch::pathColumnSortsAndElides() {
  SetCriteria(m_pFat16, "*", false, true);
  QVERIFY(RunSearch());
  QTreeView* view = m_pane->List()->DetailsView();
  auto* delegate = dynamic_cast<QStyledItemDelegate*>(view->itemDelegateForColumn(1));
  QVERIFY(delegate);
  QCOMPARE(view->textElideMode(), Qt::ElideRight);
  QHeaderView* header = view->header();
  for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(1) + 5, header->height() / 2));
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), order);
    QVERIFY(Results()->rowCount() > 5);
    // Folders before files in ascending order (as every column sorts), after them in descending.
    for (int r = 1; r < Results()->rowCount(); ++r) {
      CDirEntry* a = Results()->NodeAt(r - 1);
      CDirEntry* b = Results()->NodeAt(r);
      if (a->IsDirectory() != b->IsDirectory()) continue;
      const int folder = CompareNoCase(a->GetFullPath(), b->GetFullPath());
      const int name = CompareNoCase(a->m_strName, b->m_strName);
      const int cmp = folder != 0 ? folder : name;
      QVERIFY2(order == Qt::AscendingOrder ? cmp <= 0 : cmp >= 0,
               qPrintable(Results()->index(r - 1, 1).data().toString() + " / " + Results()->index(r, 1).data().toString()));
    }
  }
  // The column shows the folder; its tooltip the whole path of the hit.
  CDirEntry* first = Results()->NodeAt(0);
  QCOMPARE(Results()->index(0, 1).data().toString(), Q(first->GetFullPath()));
  QCOMPARE(Results()->index(0, 1).data(Qt::ToolTipRole).toString(), Q(first->GetFullPath() + first->m_strName));
  // Too narrow, the folder keeps its start and its end: the column's delegate shortens it in
  // the middle (the other columns at their end).
  struct COptionOf : QStyledItemDelegate {
    static Qt::TextElideMode Of(QStyledItemDelegate* d, const QModelIndex& i) {
      QStyleOptionViewItem o;
      static_cast<COptionOf*>(d)->initStyleOption(&o, i);
      return o.textElideMode;
    }
  };
  QCOMPARE(COptionOf::Of(delegate, Results()->index(0, 1)), Qt::ElideMiddle);
}

void TestSearch::lookInFollowsTheTree() {
  // Wired as the main window wires it: the tree's selection drives "Look in:".
  CFoldersTreeDlg* tree = m_frame->TreePane();
  auto connection = connect(tree, &CFoldersTreeDlg::FolderSelected, m_page.get(), &CSearchDlg::OnTreeFolderSelected);
  auto* lookIn = m_page->findChild<QComboBox*>("lookInCombo");
  const int volumes = int(m_doc->Volumes().size());

  QVERIFY(tree->SelectNode(m_pFat12));
  QCOMPARE(m_page->LookInFolder(), m_pFat12);
  QCOMPARE(lookIn->count(), volumes);
  auto* docs = static_cast<CDirectory*>(Child(m_pFat16, u"Docs"));
  QVERIFY(docs);
  QVERIFY(tree->SelectNode(docs));
  QCOMPARE(lookIn->count(), volumes + 1);
  QCOMPARE(lookIn->currentText(), QString("Docs"));
  QCOMPARE(m_page->LookInFolder(), docs);

  // A search in the folder finds what is below it only.
  SetCriteria(docs, "*", false, true);
  QVERIFY(RunSearch());
  QStringList hits = Hits(m_pFat16);
  hits.sort();
  QCOMPARE(hits, (QStringList{"Docs/Empty inside.txt", "Docs/Inner", "Docs/Inner/DEEP.BIN", "Docs/NOTE.TXT"}));

  // Another folder replaces it; a volume or a top item selects a volume's entry.
  auto* inner = static_cast<CDirectory*>(Child(docs, u"Inner"));
  QVERIFY(tree->SelectNode(inner));
  QCOMPARE(lookIn->count(), volumes + 1);
  QCOMPARE(m_page->LookInFolder(), inner);
  QVERIFY(tree->SelectNode(m_pFat16));
  QCOMPARE(lookIn->count(), volumes);
  QCOMPARE(m_page->LookInFolder(), m_pFat16);
  QVERIFY(tree->SelectNode(inner));
  tree->Tree()->setCurrentItem(tree->Tree()->m_pComputer);
  QCOMPARE(lookIn->count(), volumes);
  QCOMPARE(lookIn->currentIndex(), 0);
  disconnect(connection);
}

void TestSearch::stopThenReadTheVolume() {
  // The exclusion: a GUI action that reads a volume stops the search first and waits for
  // the worker; only then does it read. Run under ThreadSanitizer, any overlap of the two
  // on the volume is reported.
  CDirectory* big = BigFolder(u"BIG");
  CDirectory* other = BigFolder(u"OTHER");
  QVERIFY(big && other && !big->m_bLoaded && !other->m_bLoaded);
  m_page->OnTreeFolderSelected(big);
  SetCriteria(big, "*", false, true);
  Button()->click();
  // The worker is inside its step: it loads the folders, then waits on the first hit,
  // since this thread has not handled events since.
  QVERIFY(m_page->IsRunning());
  QVERIFY(m_page->IsSearching());
  QCOMPARE(Button()->text(), QString("Cancel"));

  StopRunningSearch();
  QVERIFY(!m_page->IsRunning());
  QVERIFY(!m_page->IsSearching());
  QVERIFY(!CThreadProcDlg::StopEvent());
  QVERIFY(!g_bWorkerBusy.load());
  QCOMPARE(Button()->text(), QString("Search"));
  QVERIFY(Results()->rowCount() < kBigHits);
  QCOMPARE(m_frame->StatusText(), QString("Ready"));

  // Now this thread reads the volume: folders of BIG the search may or may not have
  // reached, and OTHER, which it never enters.
  int files = 0;
  for (auto& child : big->m_children) {
    QVERIFY(child->IsDirectory());
    auto* folder = static_cast<CDirectory*>(child.get());
    if (!folder->m_bLoaded) folder->LoadChildren(true, false, false);
    QVERIFY(!folder->HasSubfolders(true));
    files += int(folder->m_children.size());
  }
  QCOMPARE(big->m_children.size(), size_t(kBigFolders));
  QCOMPARE(files, kBigFolders * kBigFiles);
  other->LoadChildren(true, false, false);
  QCOMPARE(other->m_children.size(), size_t(3));

  // Stopping again, with nothing running, does nothing; a new search finds everything.
  StopRunningSearch();
  QVERIFY(RunSearch());
  QCOMPARE(Results()->rowCount(), kBigHits);
  QCOMPARE(m_frame->StatusText(), QString("Found %1 items").arg(kBigHits));
}

void TestSearch::stopFromInsideAHit() {
  // A GUI action that reads a volume while a hit is being appended (the worker waits for
  // that very call): the search is asked to stop, the action goes on at once, and the
  // worker ends at its next poll, right after that hit.
  CDirectory* big = BigFolder(u"BIG");
  CDirectory* other = BigFolder(u"OTHER");
  QVERIFY(big && other);
  m_page->OnTreeFolderSelected(big);
  SetCriteria(big, "*", false, true);
  bool stillRunning = false, read = false;
  auto connection = connect(Results(), &QAbstractItemModel::rowsInserted, this, [&] {
    if (read) return;
    StopRunningSearch();
    stillRunning = m_page->IsRunning();
    read = other->HasSubfolders(true);  // reads OTHER's folder entries: three folders
  });
  Button()->click();
  QVERIFY(WaitUntil([this] { return !m_page->IsRunning(); }));
  disconnect(connection);
  QVERIFY(read);
  QVERIFY(stillRunning);
  QCOMPARE(Results()->rowCount(), 1);
  QCOMPARE(Button()->text(), QString("Search"));
  QCOMPARE(m_frame->StatusText(), QString("Ready"));
}

void TestSearch::cancelKeepsHitsAndSearchAgain() {
  CDirectory* big = BigFolder(u"BIG");
  QVERIFY(big);
  m_page->OnTreeFolderSelected(big);
  SetCriteria(big, "*", false, true);
  QSignalSpy finished(m_page.get(), &CSearchDlg::SearchFinished);
  Button()->click();
  QVERIFY(WaitUntil([this] { return Results()->rowCount() >= 20; }));
  Button()->click();  // Cancel
  QVERIFY(!m_page->IsRunning());
  QCOMPARE(Button()->text(), QString("Search"));
  const int kept = Results()->rowCount();
  QVERIFY(kept >= 20 && kept < kBigHits);
  QCOMPARE(finished.count(), 1);
  QCOMPARE(finished[0][0].toBool(), false);
  QCOMPARE(m_frame->StatusText(), QString("Ready"));  // no count after a stop
  const QString first = "BIG/" + Q(big->m_children.front()->m_strName);
  QCOMPARE(Hits(m_pBig).first(), first);

  // Search again: the list is emptied first, and this time the search completes.
  QVERIFY(RunSearch());
  QCOMPARE(Results()->rowCount(), kBigHits);
  QCOMPARE(Hits(m_pBig).first(), first);
  QCOMPARE(finished.count(), 2);
  QCOMPARE(finished[1][0].toBool(), true);
  QCOMPARE(finished[1][1].toInt(), kBigHits);
}

void TestSearch::anotherTaskStopsTheSearch() {
  // The runner is shared by every task dialog: the MFT scan's start stops the search, which
  // still reports its end, so the button reads "Search" again.
  CDirectory* big = BigFolder(u"BIG");
  QVERIFY(big);
  m_page->OnTreeFolderSelected(big);
  SetCriteria(big, "*", false, true);
  Button()->click();
  QVERIFY(m_page->IsSearching());
  QVERIFY(!m_pNtfs->m_bMftLoaded);
  {
    CNTFSMFTScanningDlg scan(m_pNtfs);
    QTimer::singleShot(60000, &scan, [&scan] { scan.PlainCancel(); });  // never hangs
    scan.exec();
  }
  QVERIFY(m_pNtfs->m_bMftLoaded);
  QVERIFY(!m_page->IsRunning());
  QCOMPARE(Button()->text(), QString("Search"));
  QVERIFY(Results()->rowCount() < kBigHits);
  QCOMPARE(m_frame->StatusText(), QString("Ready"));
}

void TestSearch::hitRecoveredFromTheActiveList() {
  SetCriteria(m_pFat16, "holiday*", false, true);
  QVERIFY(RunSearch());
  QCOMPARE(Results()->rowCount(), 1);
  CDirEntry* photo = Child(m_pFat16, u"Holiday photo.jpg");
  QVERIFY(photo && photo->m_bDeleted);
  QCOMPARE(Results()->NodeAt(0), photo);

  // Selecting in the result list makes it the list the commands act on.
  GuiApp().m_bResultListActive = false;
  CFSListCtrl* list = m_pane->List();
  list->Selection()->select(Results()->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  QVERIFY(GuiApp().m_bResultListActive);
  QCOMPARE(m_frame->ActiveList(), list);
  QCOMPARE(m_frame->ActiveList()->SelectedNodes(), std::vector<CDirEntry*>{photo});
  QCOMPARE(m_frame->StatusText(), QString("1 item selected"));

  QTemporaryDir out;
  bool finished = false;
  WhenModalShown([](QWidget* w) { return qobject_cast<CFileRecoverWizard*>(w) != nullptr; },
                 [&](QWidget* w) {
                   auto* wizard = static_cast<CFileRecoverWizard*>(w);
                   wizard->Step0()->m_comboHistory->setEditText(out.path());
                   wizard->button(QWizard::NextButton)->click();
                   auto* poll = new QTimer(wizard);
                   auto deadline = std::make_shared<QDeadlineTimer>(60000);
                   connect(poll, &QTimer::timeout, wizard, [wizard, poll, deadline, &finished] {
                     bool done = wizard->currentId() == 1 && wizard->button(QWizard::FinishButton)->isEnabled();
                     if (done || deadline->hasExpired()) {
                       poll->stop();
                       finished = done;
                       if (done) wizard->button(QWizard::FinishButton)->click();
                       else static_cast<QDialog*>(wizard)->done(QDialog::Rejected);
                     }
                   });
                   poll->start(20);
                 });
  RunRecoveryWizard(m_frame.get(), [list] { return list->SelectedNodes(); });
  QVERIFY(finished);
  QCOMPARE(QDir(out.path()).entryList(QDir::Files), (QStringList{"Holiday photo.jpg", "quarrow-report.jsonl"}));
  QCOMPARE(Sha256OfFile((out.path() + "/Holiday photo.jpg").toStdString()), m_sha["Holiday photo.jpg"]);

  // A new search empties the list; an emptied list does not take the active-list role.
  GuiApp().m_bResultListActive = false;
  m_pane->Clear();
  QCOMPARE(Results()->rowCount(), 0);
  QVERIFY(!GuiApp().m_bResultListActive);
}

QTEST_MAIN(TestSearch)
#include "test_search.moc"
