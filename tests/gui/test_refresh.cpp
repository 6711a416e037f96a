// View > Refresh over a machine whose disks are image files (support/FakeMachine.h): the key,
// the menu entry and the toolbar button; a card plugged in appears while the opened image
// keeps its deep-scan results; a card pulled out stays, marked, while it is shown and goes
// once it is not; Refresh waits for a running search. Then the status bar's item count with
// the filter bar and the deleted-only switch, and that switch while a folder is being filled
// (rows arriving one by one, and a real deep scan under the filter bar). Screenshots of the
// tree after each refresh go to the artifacts.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeView>
#include <filesystem>

#include "app/App.h"
#include "app/Document.h"
#include "deepscan/VirtualDriver.h"
#include "device/Driver.h"
#include "support/FakeMachine.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanWizard.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/ResultFilterBar.h"
#include "ui/SearchDlg.h"

namespace {

// The children of a top item whose text contains name.
QList<QTreeWidgetItem*> ItemsNamed(QTreeWidgetItem* top, const QString& name) {
  QList<QTreeWidgetItem*> found;
  for (int i = 0; i < top->childCount(); ++i)
    if (top->child(i)->text(0).contains(name)) found << top->child(i);
  return found;
}

QStringList Texts(QTreeWidgetItem* top) {
  QStringList out;
  for (int i = 0; i < top->childCount(); ++i) out << top->child(i)->text(0);
  return out;
}

}  // namespace

class RefreshTest : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  QTemporaryDir m_tmp;
  CFakeMachine m_machine;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;
  std::string m_card, m_stick, m_reader;
  CLogicalDriver* m_pImageDisk = nullptr;  // the opened image's virtual volume

  CFSTreeCtrl* Tree() { return m_frame->TreePane()->Tree(); }
  CFSListCtrl* List() { return m_frame->View()->List(); }
  CFSListModel* Model() { return List()->Model(); }
  CSearchDlg* SearchPage() { return qobject_cast<CSearchDlg*>(m_frame->LeftPages()->widget(1)); }
  QComboBox* LookIn() { return SearchPage()->findChild<QComboBox*>("lookInCombo"); }

  QStringList LookInTexts() {
    QStringList out;
    for (int i = 0; i < LookIn()->count(); ++i) out << LookIn()->itemText(i);
    return out;
  }

  // F5 on the window, as a user presses it.
  void PressF5() {
    m_frame->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_frame.get()));
    QTest::keyClick(m_frame.get(), Qt::Key_F5);
  }

  std::string Copy(const std::string& fixture, const QString& as) {
    const std::string to = (m_tmp.path() + "/" + as).toStdString();
    std::filesystem::copy_file(FixturePath(fixture), to, std::filesystem::copy_options::overwrite_existing);
    return to;
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    m_app.InitCore(nullptr);
    m_card = Copy("fat16.img", "card.img");
    m_stick = Copy("fat12.img", "stick.img");
    m_reader = Copy("fat12.img", "reader.img");
    m_machine.Plug(m_card, 21);
    m_doc = std::make_unique<CKelvoDoc>(m_machine.Source());
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    InstallCoreHooks(m_frame.get());
    m_frame->setGeometry(CMainFrame::InitialGeometry(QRect(0, 0, 1280, 1024)));
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    const QStringList messages = m_frame->OpenImages({QString::fromStdString(FixturePath("fat12.img"))}, false);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    for (const auto& v : m_doc->VirtualVolumes())
      if (v->m_source.strPath == CKelvoDoc::CanonicalImagePath(FixturePath("fat12.img"))) m_pImageDisk = v.get();
    QVERIFY(m_pImageDisk);
  }

  void cleanupTestCase() {
    RemoveCoreHooks();
    m_frame.reset();
    m_doc.reset();
  }

  // F5 is Refresh's key, shown beside it in the View menu; the toolbar has it beside Go To
  // Parent; Ctrl+R stays Recover's whatever the desktop binds to Refresh.
  void refreshIsBoundAndShown() {
    QAction* refresh = m_frame->Action(ID_VIEW_REFRESH);
    QVERIFY(refresh);
    QCOMPARE(refresh->shortcut(), QKeySequence(Qt::Key_F5));
    QVERIFY(!refresh->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_R)));
    QVERIFY(m_frame->Action(ID_FILE_RECOVER)->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_R)));
    QMenu* view = nullptr;
    for (QAction* a : m_frame->menuBar()->actions())
      if (a->text() == "&View") view = a->menu();
    QVERIFY(view);
    QVERIFY(view->actions().contains(refresh));
    QCOMPARE(refresh->text(), QString("&Refresh"));
    auto* toolbar = m_frame->findChild<QToolBar*>("mainToolBar");
    QVERIFY(toolbar);
    const QList<QAction*> buttons = toolbar->actions();
    QCOMPARE(buttons.indexOf(refresh), buttons.indexOf(m_frame->Action(ID_VIEW_GO_TO_PARENT)) + 1);
    m_frame->UpdateCommands();
    QVERIFY(refresh->isEnabled());
  }

  // A card plugged in appears under both top items after F5 (and in "Look in:"); the opened
  // image, its deep-scan results and the folder shown stay as they were.
  void pluggedCardAppears() {
    // Deep-scan results on the image's disk, shown in the list.
    CDirectory* results = m_pImageDisk->m_pLostFolder;
    RunScanDialog(results, m_frame.get());
    TakeJobSummaries();
    QCOMPARE(results->m_children.size(), size_t(2));
    const CDirEntry* firstResult = results->m_children[0].get();
    QTreeWidgetItem* resultsItem = Tree()->FindLostFolderItem(Tree()->FindVolumeItem(m_pImageDisk), m_pImageDisk);
    QVERIFY(resultsItem);
    Tree()->setCurrentItem(resultsItem);
    QCOMPARE(Model()->Folder(), results);
    List()->SelectAll();
    const QStringList computerBefore = Texts(Tree()->m_pComputer), disksBefore = Texts(Tree()->m_pDisks);
    QCOMPARE(computerBefore.size(), 2);  // card.img's volume, the image's volume

    m_machine.Plug(m_stick, 22);
    PressF5();
    QCOMPARE(Tree()->m_pComputer->childCount(), 3);
    QCOMPARE(Tree()->m_pDisks->childCount(), 3);
    QCOMPARE(Texts(Tree()->m_pComputer).mid(0, 2), computerBefore);
    QCOMPARE(Texts(Tree()->m_pDisks).mid(0, 2), disksBefore);
    QCOMPARE(ItemsNamed(Tree()->m_pComputer, "stick.img (QFAT12)").size(), 1);
    QCOMPARE(ItemsNamed(Tree()->m_pDisks, "Card Reader stick.img").size(), 1);
    QVERIFY(LookInTexts().filter("stick.img").size() == 1);
    // The image's results, their item, the folder shown and its selection are as they were.
    QCOMPARE(results->m_children.size(), size_t(2));
    QCOMPARE(results->m_children[0].get(), firstResult);
    QCOMPARE(Tree()->currentItem(), resultsItem);
    QCOMPARE(Model()->Folder(), results);
    QCOMPARE(Model()->rowCount(), 2);
    QCOMPARE(List()->SelectedCount(), 2);
    QCOMPARE(m_frame->StatusText(), QString("2 items"));
    SaveScreenshot(m_frame.get(), "refresh-card-plugged");
    SaveScreenshot(Tree(), "refresh-card-plugged-tree");
  }

  // The card is pulled out while its volume is shown (sorted by size, one item selected):
  // its volume stays, marked "(disconnected)", greyed, still shown as it was; its disk's item
  // goes (nothing of it is in use). Once another folder is shown, the next F5 takes it out.
  void pulledCardStaysWhileShown() {
    QList<QTreeWidgetItem*> cards = ItemsNamed(Tree()->m_pComputer, "card.img");
    QCOMPARE(cards.size(), 1);
    QTreeWidgetItem* card = cards.front();
    const QString name = card->text(0);
    Tree()->setCurrentItem(card);
    CDirectory* root = CFSTreeCtrl::NodeOf(card);
    QCOMPARE(Model()->Folder(), root);
    Model()->Sort(1, Qt::DescendingOrder);  // by size, largest first
    QVERIFY(Model()->rowCount() > 2);
    QStringList order;
    for (int r = 0; r < Model()->rowCount(); ++r) order << Q(Model()->NodeAt(r)->m_strName);
    List()->Selection()->select(Model()->index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    CDirEntry* selected = Model()->NodeAt(1);

    m_machine.Pull(m_card);
    PressF5();
    QCOMPARE(Tree()->currentItem(), card);
    QCOMPARE(card->text(0), name + " (disconnected)");
    QCOMPARE(card->foreground(0).color(), Tree()->palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(root->m_pDriver->m_bDisconnected);
    QCOMPARE(ItemsNamed(Tree()->m_pDisks, "card.img").size(), 0);
    QVERIFY(LookInTexts().contains(Q(root->m_strName) + " (disconnected)"));
    QCOMPARE(Model()->Folder(), root);
    QStringList after;
    for (int r = 0; r < Model()->rowCount(); ++r) after << Q(Model()->NodeAt(r)->m_strName);
    QCOMPARE(after, order);
    QCOMPARE(Model()->SortColumn(), 1);
    QCOMPARE(List()->SelectedNodes(), std::vector<CDirEntry*>{selected});
    SaveScreenshot(m_frame.get(), "refresh-card-disconnected");
    SaveScreenshot(Tree(), "refresh-card-disconnected-tree");

    // Shown no more: the next refresh takes it out of the tree and of "Look in:".
    QTreeWidgetItem* image = ItemsNamed(Tree()->m_pComputer, "fat12.img").value(0);
    QVERIFY(image);
    Tree()->setCurrentItem(image);
    QVERIFY(card->toolTip(0).endsWith(" (disconnected)"));
    SaveScreenshot(Tree(), "refresh-card-disconnected-greyed-tree");
    PressF5();
    QCOMPARE(ItemsNamed(Tree()->m_pComputer, "card.img").size(), 0);
    QVERIFY(LookInTexts().filter("card.img").isEmpty());
    QCOMPARE(Tree()->m_pComputer->childCount(), 2);
    QCOMPARE(Tree()->currentItem(), image);
  }

  // While a search runs, Refresh is disabled and refuses; it is enabled again when the
  // search ends, and then finds the reader plugged in meanwhile.
  void refreshWaitsForASearch() {
    QTreeWidgetItem* image = ItemsNamed(Tree()->m_pComputer, "fat12.img").value(0);
    QVERIFY(image);
    Tree()->setCurrentItem(image);
    m_machine.Plug(m_reader, 23);
    CSearchDlg* page = SearchPage();
    page->findChild<QLineEdit*>("patternEdit")->setText("*");
    page->findChild<QCheckBox*>("subfoldersCheck")->setChecked(true);
    int hits = 0, enabledDuring = 0, added = 0;
    const int volumes = Tree()->m_pComputer->childCount();
    auto connection = connect(GuiApp().m_pResultList->Model(), &QAbstractItemModel::rowsInserted, this, [&] {
      ++hits;
      if (m_frame->Action(ID_VIEW_REFRESH)->isEnabled()) ++enabledDuring;
      QVERIFY(m_frame->JobRunning());
      m_frame->OnRefresh();
      added += Tree()->m_pComputer->childCount() - volumes;
    });
    page->findChild<QPushButton*>("searchButton")->click();
    QVERIFY(WaitUntil([&] { return !page->IsRunning(); }));
    disconnect(connection);
    QVERIFY(hits > 0);
    QCOMPARE(enabledDuring, 0);
    QCOMPARE(added, 0);
    QVERIFY(m_frame->Action(ID_VIEW_REFRESH)->isEnabled());
    PressF5();
    QCOMPARE(Tree()->m_pComputer->childCount(), volumes + 1);
    QCOMPARE(ItemsNamed(Tree()->m_pComputer, "reader.img").size(), 1);
  }

  // Search hits on a volume keep it while its device is gone: marked, in the tree and in the
  // results, until the results are cleared.
  void searchHitsKeepAGoneVolume() {
    QTreeWidgetItem* reader = ItemsNamed(Tree()->m_pComputer, "reader.img").value(0);
    QVERIFY(reader);
    Tree()->setCurrentItem(reader);
    CSearchDlg* page = SearchPage();
    QCOMPARE(page->LookInFolder(), CFSTreeCtrl::NodeOf(reader));
    page->findChild<QPushButton*>("searchButton")->click();
    QVERIFY(WaitUntil([&] { return !page->IsRunning(); }));
    CFSListModel* hits = GuiApp().m_pResultList->Model();
    QVERIFY(hits->rowCount() > 0);
    CLogicalDriver* volume = CFSTreeCtrl::NodeOf(reader)->m_pDriver;
    QCOMPARE(hits->NodeAt(0)->m_pDriver, volume);
    // Another folder shown: only the hits hold the reader's volume now.
    QTreeWidgetItem* image = ItemsNamed(Tree()->m_pComputer, "fat12.img").value(0);
    Tree()->setCurrentItem(image);

    m_machine.Pull(m_reader);
    PressF5();
    QVERIFY(reader->text(0).endsWith(" (disconnected)"));
    QVERIFY(volume->m_bDisconnected);
    QCOMPARE(hits->NodeAt(0)->m_pDriver, volume);
    hits->Clear();
    PressF5();
    QCOMPARE(ItemsNamed(Tree()->m_pComputer, "reader.img").size(), 0);
  }

  // The count in the status bar is what the list shows: "S of N items" when the filter bar or
  // the deleted-only switch leaves items out.
  void statusCountFollowsTheFilters() {
    QTreeWidgetItem* image = ItemsNamed(Tree()->m_pComputer, "fat12.img").value(0);
    Tree()->setCurrentItem(image);
    const int all = Model()->rowCount();
    QCOMPARE(m_frame->StatusText(), QString("%1 items").arg(all));
    QAction* deletedOnly = m_frame->Action(ID_VIEW_DELETED_ONLY);
    deletedOnly->trigger();
    const int deleted = Model()->rowCount();
    QVERIFY(deleted > 0 && deleted < all);
    QCOMPARE(m_frame->StatusText(), QString("%1 of %2 items (deleted only)").arg(deleted).arg(all));
    deletedOnly->trigger();
    QCOMPARE(m_frame->StatusText(), QString("%1 items").arg(all));

    // The results folder under its filter bar.
    Tree()->setCurrentItem(Tree()->FindLostFolderItem(Tree()->FindVolumeItem(m_pImageDisk), m_pImageDisk));
    CResultFilterBar* bar = m_frame->View()->FilterBar();
    QVERIFY(bar->isVisible());
    QCOMPARE(m_frame->StatusText(), QString("2 items"));
    bar->m_pName->setText("FILE_1*");
    QCOMPARE(m_frame->StatusText(), QString("1 of 2 items"));
    deletedOnly->trigger();  // every result counts as deleted: nothing more goes
    QCOMPARE(m_frame->StatusText(), QString("1 of 2 items (deleted only)"));
    deletedOnly->trigger();
    bar->m_pClear->click();
    QCOMPARE(m_frame->StatusText(), QString("2 items"));
  }

  // With "Show Deleted Items Only" on, a folder being filled shows only its deleted items as
  // they arrive, and the count follows; switched off and on meanwhile, the rows follow.
  void deletedOnlyWhileAFolderFills() {
    Tree()->setCurrentItem(Tree()->m_pComputer);
    m_frame->Action(ID_VIEW_DELETED_ONLY)->trigger();
    QVERIFY(Model()->DeletedOnly());
    auto folder = std::make_unique<CVirtualDirectory>();
    folder->m_strName = u"Filling";
    Model()->ShowFolder(folder.get(), false);
    BeginFolderChange(folder.get());
    int deleted = 0;
    for (int i = 1; i <= 6; ++i) {
      auto node = std::make_unique<CVirtualFile>();
      node->m_strName = u"FILE_" + std::u16string(1, char16_t(u'0' + i)) + u".JPG";
      node->m_bDeleted = i % 2 == 0;
      deleted += node->m_bDeleted ? 1 : 0;
      folder->AddChild(std::move(node));
      NotifyFolderGrew(folder.get());
      QCOMPARE(Model()->rowCount(), deleted);
      for (int r = 0; r < Model()->rowCount(); ++r) QVERIFY(Model()->NodeAt(r)->m_bDeleted);
      QCOMPARE(m_frame->StatusText(),
               QString(i == 1 ? "%1 of %2 item (deleted only)" : "%1 of %2 items (deleted only)").arg(deleted).arg(i));
      if (i == 4) {
        // Off and on again while it fills: every item so far, then the deleted ones again.
        m_frame->Action(ID_VIEW_DELETED_ONLY)->trigger();
        QCOMPARE(Model()->rowCount(), 4);
        m_frame->Action(ID_VIEW_DELETED_ONLY)->trigger();
        QCOMPARE(Model()->rowCount(), 2);
      }
    }
    EndFolderChange(folder.get());
    QCOMPARE(Model()->rowCount(), 3);
    m_frame->Action(ID_VIEW_DELETED_ONLY)->trigger();
    QCOMPARE(Model()->rowCount(), 6);
    Model()->Clear();
  }

  // A real deep scan of the shown results folder under the filter bar: rows that the filter
  // leaves out never appear while the scan runs, also when "Show Deleted Items Only" is
  // switched on and off again as the files come.
  void filterHoldsDuringADeepScan() {
    CDirectory* results = m_pImageDisk->m_pLostFolder;
    Tree()->setCurrentItem(Tree()->FindLostFolderItem(Tree()->FindVolumeItem(m_pImageDisk), m_pImageDisk));
    QCOMPARE(Model()->Folder(), results);
    m_frame->View()->FilterBar()->m_pName->setText("FILE_2*");
    QCOMPARE(Model()->rowCount(), 1);
    QStringList seen;
    auto connection = connect(Model(), &QAbstractItemModel::rowsInserted, this, [&](const QModelIndex&, int first, int last) {
      for (int r = first; r <= last; ++r) seen << Q(Model()->NodeAt(r)->m_strName);
    });
    QStringList shownAfterToggles;
    auto toggles = connect(Model(), &CFSListModel::LiveGrew, this, [&] {
      QAction* deletedOnly = m_frame->Action(ID_VIEW_DELETED_ONLY);
      deletedOnly->trigger();
      deletedOnly->trigger();
      for (int r = 0; r < Model()->rowCount(); ++r) shownAfterToggles << Q(Model()->NodeAt(r)->m_strName);
    });
    RunScanDialog(results, m_frame.get());
    TakeJobSummaries();
    disconnect(connection);
    disconnect(toggles);
    QVERIFY(!m_frame->Action(ID_VIEW_DELETED_ONLY)->isChecked());
    QCOMPARE(results->m_children.size(), size_t(2));
    QCOMPARE(seen, QStringList{"FILE_2.JPG"});
    QCOMPARE(shownAfterToggles, QStringList{"FILE_2.JPG"});  // after the second file came
    QCOMPARE(Model()->rowCount(), 1);
    QCOMPARE(m_frame->StatusText(), QString("1 of 2 items"));
    m_frame->View()->FilterBar()->m_pClear->click();
  }
};

QTEST_MAIN(RefreshTest)
#include "test_refresh.moc"
