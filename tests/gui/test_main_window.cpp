// The main window over real images: the tree and the list, sorting, the commands' enable
// rules, the panes, and bad images.
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QWizard>
#include <QDockWidget>
#include <QHeaderView>
#include <QTabWidget>
#include <QMenu>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanWizard.h"
#include "ui/FSListCtrl.h"
#include "ui/FindLostDlgs.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"

namespace {

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const QString& name) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == name) return parent->child(i);
  return nullptr;
}

QStringList Column(CFSListModel* m, int column) {
  QStringList out;
  for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, column).data().toString();
  return out;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;

  CFSTreeCtrl* Tree() { return m_frame->TreePane()->Tree(); }
  CFSListModel* Model() { return m_frame->View()->List()->Model(); }

  // The item of the volume whose root text ends with the image name (and, for a disk, the
  // partition's name).
  QTreeWidgetItem* VolumeItem(const QString& label) {
    QTreeWidgetItem* top = Tree()->m_pComputer;
    for (int i = 0; i < top->childCount(); ++i) {
      CDirectory* root = CFSTreeCtrl::NodeOf(top->child(i));
      if (root && root->m_pDriver && Q(root->m_pDriver->m_szName).contains(label)) return top->child(i);
    }
    return nullptr;
  }

 private slots:
  void initTestCase() {
    m_app.InitCore(nullptr);
    m_doc = std::make_unique<CKelvoDoc>(false);
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    InstallCoreHooks(m_frame.get());
    m_frame->setGeometry(CMainFrame::InitialGeometry(QRect(0, 0, 1280, 1024)));
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    QStringList messages = m_frame->OpenImages(
        {QString::fromStdString(FixturePath("fat16.img")), QString::fromStdString(FixturePath("ntfs.img"))}, false);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
  }

  void cleanupTestCase() {
    SaveScreenshot(m_frame.get(), QStringLiteral("main-window"));
    RemoveCoreHooks();
    m_frame.reset();
    m_doc.reset();
  }

  void windowLayout() {
    QCOMPARE(m_frame->windowTitle(), QStringLiteral("Tarnwell Quarrow"));
    QCOMPARE(CMainFrame::InitialGeometry(QRect(0, 0, 1920, 1080)), QRect(480, 185, 960, 710));
    QCOMPARE(CMainFrame::InitialGeometry(QRect(0, 0, 800, 600)), QRect(20, 20, 960, 710));
    QVERIFY(m_frame->LeftBar()->isVisible());
    QVERIFY(m_frame->PreviewBar()->isVisible());
    QVERIFY(!m_frame->ResultBar()->isVisible());
    QCOMPARE(m_frame->LeftPages()->tabText(0), QStringLiteral("Drives"));
    QCOMPARE(m_frame->LeftPages()->tabText(1), QStringLiteral("Search"));
    QCOMPARE(Tree()->m_pComputer->text(0), QStringLiteral("My Computer"));
    QCOMPARE(Tree()->m_pDisks->text(0), QStringLiteral("Physical Drives"));
    // Both images are disks with a virtual volume each; their volumes are under My Computer.
    QCOMPARE(Tree()->m_pComputer->childCount(), 2);
    QCOMPARE(Tree()->m_pDisks->childCount(), 2);
    // A disk holds its results folder.
    QTreeWidgetItem* disk = Tree()->m_pDisks->child(0);
    disk->setExpanded(true);
    QVERIFY(ChildNamed(disk, QStringLiteral("LostFiles")));
    // The start page shows until a folder is selected.
    QVERIFY(!m_frame->View()->IsListShown());
    QCOMPARE(m_frame->StatusText(), QStringLiteral("Ready"));
  }

  // Standard keys on the commands, shown in the menus, and working from the window.
  void keyboardShortcuts() {
    const struct {
      int id;
      QKeySequence key;
    } keys[] = {{ID_FILE_OPEN_IMAGE, QKeySequence(Qt::CTRL | Qt::Key_O)},
                {ID_FILE_RECOVER, QKeySequence(Qt::CTRL | Qt::Key_R)},
                {ID_EDIT_SEARCH, QKeySequence(Qt::CTRL | Qt::Key_F)},
                {ID_FILE_PROPERTIES, QKeySequence(Qt::ALT | Qt::Key_Return)},
                {ID_EDIT_SELECT_ALL, QKeySequence(Qt::CTRL | Qt::Key_A)},
                {ID_VIEW_GO_TO_PARENT, QKeySequence(Qt::ALT | Qt::Key_Up)},
                {ID_VIEW_GO_TO_PARENT, QKeySequence(Qt::Key_Backspace)},
                {ID_HELP_TOPICS, QKeySequence(Qt::Key_F1)},
                {ID_APP_EXIT, QKeySequence(Qt::CTRL | Qt::Key_Q)}};
    for (const auto& k : keys)
      QVERIFY2(m_frame->Action(k.id)->shortcuts().contains(k.key), qPrintable(k.key.toString()));
    // Alt+Up from a folder of the volume goes to the volume.
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    QVERIFY(volume);
    volume->setExpanded(true);
    QTreeWidgetItem* docs = ChildNamed(volume, QStringLiteral("Docs"));
    QVERIFY(docs);
    Tree()->setCurrentItem(docs);
    Tree()->setFocus();
    QTest::keyClick(Tree(), Qt::Key_Up, Qt::AltModifier);
    QCOMPARE(Tree()->currentItem(), volume);
  }

  // View > Show Deleted Items Only, from the toolbar: the list keeps the deleted items,
  // which stand out by their colour; switched off, every item is back.
  void deletedItemsOnly() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    QVERIFY(volume);
    // An image's volume is shown by the image's file name, its path in the tooltip.
    QVERIFY2(volume->text(0).startsWith(QStringLiteral("fat16.img")), qPrintable(volume->text(0)));
    QCOMPARE(volume->toolTip(0), Q(CFSTreeCtrl::NodeOf(volume)->m_pDriver->m_szName));
    Tree()->setCurrentItem(volume);
    const int all = Model()->rowCount();
    int deleted = 0;
    for (int r = 0; r < all; ++r) {
      CDirEntry* n = Model()->NodeAt(r);
      const QVariant colour = Model()->index(r, 1).data(Qt::ForegroundRole);
      QCOMPARE(colour.isValid(), n->m_bDeleted);
      deleted += n->m_bDeleted ? 1 : 0;
    }
    QVERIFY(deleted > 0 && deleted < all);

    QAction* toggle = m_frame->Action(ID_VIEW_DELETED_ONLY);
    QVERIFY(toggle->isCheckable());
    bool inViewMenu = false;
    for (QObject* o : toggle->associatedObjects())
      if (auto* menu = qobject_cast<QMenu*>(o)) inViewMenu |= menu->title() == QStringLiteral("&View");
    QVERIFY(inViewMenu);
    auto* bar = m_frame->findChild<QToolBar*>(QStringLiteral("mainToolBar"));
    QWidget* button = bar->widgetForAction(toggle);
    QVERIFY(button && button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(toggle->isChecked());
    QCOMPARE(Model()->rowCount(), deleted);
    for (int r = 0; r < Model()->rowCount(); ++r) QVERIFY(Model()->NodeAt(r)->m_bDeleted);
    // Sorting keeps the filter.
    Model()->Sort(1, Qt::DescendingOrder);
    QCOMPARE(Model()->rowCount(), deleted);
    // Another folder opens filtered too.
    volume->setExpanded(true);
    Tree()->setCurrentItem(ChildNamed(volume, QStringLiteral("Docs")));
    for (int r = 0; r < Model()->rowCount(); ++r) QVERIFY(Model()->NodeAt(r)->m_bDeleted);
    Tree()->setCurrentItem(volume);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!toggle->isChecked());
    QCOMPARE(Model()->rowCount(), all);
  }

  // The columns: the name stretches, the others are resizable, a right click on the header
  // hides and shows them, and their widths and choice are kept for the next list.
  void columnsChosenAndRemembered() {
    CFSListCtrl* list = m_frame->View()->List();
    QHeaderView* header = list->DetailsView()->header();
    QCOMPARE(header->sectionResizeMode(0), QHeaderView::Stretch);
    for (int c = 1; c < header->count(); ++c) QCOMPARE(header->sectionResizeMode(c), QHeaderView::Interactive);
    // Every column's title fits its width.
    for (int c = 1; c < header->count(); ++c)
      QVERIFY(header->sectionSize(c) >= header->fontMetrics().horizontalAdvance(
                                             Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()));
    QMenu* menu = list->ColumnMenu();
    QStringList entries;
    for (QAction* a : menu->actions()) entries << a->text();
    QCOMPARE(entries, (QStringList{"Size", "Type", "Modified", "Status"}));
    QAction* type = menu->actions()[1];
    type->trigger();  // hidden
    QVERIFY(header->isSectionHidden(2));
    header->resizeSection(1, 123);
    QTest::qWait(700);  // the widths are written once the edge rests

    CFSListCtrl other(false, true);
    other.RememberColumnsAs("FileListColumns");
    QCOMPARE(other.DetailsView()->header()->sectionSize(1), 123);
    QVERIFY(other.DetailsView()->header()->isSectionHidden(2));
    QVERIFY(!other.ColumnMenu()->actions()[1]->isChecked());

    type->trigger();  // shown again
    QVERIFY(!header->isSectionHidden(2));
  }

  void fatFolderShowsDeletedItemsAndSorts() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    QVERIFY(volume);
    Tree()->setCurrentItem(volume);
    QVERIFY(m_frame->View()->IsListShown());
    QVERIFY2(m_frame->StatusText().endsWith(QStringLiteral(" items")), qPrintable(m_frame->StatusText()));
    // Go To Parent on a volume does nothing (its parent is "My Computer").
    QVERIFY(m_frame->Action(ID_VIEW_GO_TO_PARENT)->isEnabled());
    m_frame->OnGoToParent();
    QCOMPARE(Tree()->currentItem(), volume);

    // Expanding the root inserts folders only, deleted ones with their mark.
    volume->setExpanded(true);
    QVERIFY(ChildNamed(volume, QStringLiteral("Docs")));
    QTreeWidgetItem* old = ChildNamed(volume, QStringLiteral("OldStuff"));
    QVERIFY(old);
    QVERIFY(!ChildNamed(volume, QStringLiteral("README.TXT")));
    QVERIFY(CFSTreeCtrl::NodeOf(old)->m_bDeleted);

    // The list: deleted files beside existing ones, with status words.
    QStringList names = Column(Model(), 0);
    QVERIFY(names.contains(QStringLiteral("README.TXT")));
    QVERIFY(names.contains(QStringLiteral("Holiday photo.jpg")));
    int holiday = int(names.indexOf(QStringLiteral("Holiday photo.jpg")));
    QCOMPARE(Model()->index(holiday, 4).data().toString(), QStringLiteral("Excellent"));
    QCOMPARE(Model()->index(holiday, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("Holiday photo.jpg\nDeleted"));
    int readme = int(names.indexOf(QStringLiteral("README.TXT")));
    QCOMPARE(Model()->index(readme, 4).data().toString(), QStringLiteral("Existing"));

    // Sorting by size: folders first, then files by ascending size; again: files first,
    // largest first, then folders; then "Type" is ascending again.
    QHeaderView* header = m_frame->View()->List()->DetailsView()->header();
    auto clickHeader = [&](int section) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    };
    clickHeader(1);
    auto checkOrder = [&](bool ascending) {
      bool seenOther = false;
      uint64_t last = ascending ? 0 : UINT64_MAX;
      for (int r = 0; r < Model()->rowCount(); ++r) {
        CDirEntry* n = Model()->NodeAt(r);
        bool first = ascending ? n->IsDirectory() : !n->IsDirectory();
        if (!first) seenOther = true;
        else QVERIFY2(!seenOther, "folders and files are mixed");
        if (!n->IsDirectory()) {
          uint64_t size = n->GetSize();
          QVERIFY(ascending ? size >= last : size <= last);
          last = size;
        }
      }
    };
    checkOrder(true);
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    clickHeader(1);
    checkOrder(false);
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    clickHeader(2);
    QCOMPARE(header->sortIndicatorSection(), 2);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    // The order lives in the folder itself.
    CDirectory* root = CFSTreeCtrl::NodeOf(volume);
    QCOMPARE(root->m_children.front().get(), Model()->NodeAt(0));
  }

  void commandsFollowTheSelection() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    Tree()->setCurrentItem(volume);
    CFSListCtrl* list = m_frame->View()->List();
    list->Selection()->clearSelection();
    m_frame->UpdateCommands();
    QVERIFY(!m_frame->Action(ID_FILE_RECOVER)->isEnabled());
    QVERIFY(!m_frame->Action(ID_FILE_PROPERTIES)->isEnabled());
    QVERIFY(m_frame->Action(ID_EDIT_SELECT_ALL)->isEnabled());
    QVERIFY(m_frame->Action(ID_FILE_FIND_LOST_FILES)->isEnabled());
    m_frame->OnSelectAll();
    QCOMPARE(list->SelectedCount(), Model()->rowCount());
    QCOMPARE(m_frame->StatusText(), QStringLiteral("%1 items selected").arg(Model()->rowCount()));
    QVERIFY(m_frame->Action(ID_FILE_RECOVER)->isEnabled());
    QVERIFY(Model()->rowCount() > 1);
    QVERIFY(!m_frame->Action(ID_FILE_PROPERTIES)->isEnabled());  // one item at a time
    list->Selection()->select(Model()->index(0, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    m_frame->OnInvertSelection();
    QCOMPARE(list->SelectedCount(), 1);
    QCOMPARE(list->SelectedRows(), std::vector<int>{0});
    m_frame->UpdateCommands();
    QVERIFY(m_frame->Action(ID_FILE_PROPERTIES)->isEnabled());
    // On a top item nothing can be searched for lost files.
    Tree()->setCurrentItem(Tree()->m_pComputer);
    m_frame->UpdateCommands();
    QVERIFY(!m_frame->Action(ID_FILE_FIND_LOST_FILES)->isEnabled());
    QVERIFY(!m_frame->Action(ID_VIEW_GO_TO_PARENT)->isEnabled());
  }

  void doubleClickOpensFolderAndGoToParentReturns() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    Tree()->setCurrentItem(volume);
    Model()->Sort(0, Qt::AscendingOrder);
    int docs = int(Column(Model(), 0).indexOf(QStringLiteral("Docs")));
    QVERIFY(docs >= 0);
    QTreeView* view = m_frame->View()->List()->DetailsView();
    QRect rect = view->visualRect(Model()->index(docs, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("Docs"));
    QVERIFY(Column(Model(), 0).contains(QStringLiteral("NOTE.TXT")));
    m_frame->OnGoToParent();
    QCOMPARE(Tree()->currentItem(), volume);
  }

  // A single small file selected is previewed; View With Hex opens on a deleted file.
  void previewAndHexFromTheList() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    Tree()->setCurrentItem(volume);
    CFSListCtrl* list = m_frame->View()->List();
    auto selectNamed = [&](const QString& name) {
      int row = int(Column(Model(), 0).indexOf(name));
      QVERIFY(row >= 0);
      list->Selection()->select(Model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    };
    selectNamed(QStringLiteral("README.TXT"));
    auto* text = m_frame->PreviewBar()->findChild<QWidget*>(QStringLiteral("textView"));
    QVERIFY(text && text->isVisible());
    selectNamed(QStringLiteral("Holiday photo.jpg"));
    QVERIFY(m_frame->Action(ID_FILE_VIEW_HEX)->isEnabled());
    bool shown = false;
    WhenModalShown([](QWidget* w) { return w->objectName() == QStringLiteral("viewHexDialog"); },
                   [&](QWidget* w) {
                     shown = true;
                     SaveScreenshot(w, QStringLiteral("hex-view"));
                     w->close();
                   });
    m_frame->Action(ID_FILE_VIEW_HEX)->trigger();
    QVERIFY(shown);
    selectNamed(QStringLiteral("EMPTY.TXT"));
    QVERIFY(!m_frame->Action(ID_FILE_VIEW_HEX)->isEnabled());
  }

  void ntfsRootReadsTheMft() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("ntfs"));
    QVERIFY(volume);
    Tree()->setCurrentItem(volume);
    QVERIFY(WaitUntil([&] { return Column(Model(), 0).contains(QStringLiteral("PATTERN.BIN")); }, 60000));
    QVERIFY(Column(Model(), 0).contains(QStringLiteral("Ünïcödé €.txt")));
  }

  void searchCommandSwitchesPages() {
    m_frame->LeftBar()->hide();
    m_frame->LeftPages()->setCurrentIndex(0);
    m_frame->OnSearch();
    QVERIFY(m_frame->LeftBar()->isVisible());
    QCOMPARE(m_frame->LeftPages()->currentIndex(), 1);
    QVERIFY(m_frame->Action(ID_EDIT_SEARCH)->isChecked());
    m_frame->OnSearch();
    QCOMPARE(m_frame->LeftPages()->currentIndex(), 0);
  }

  void viewModes() {
    CFSListCtrl* list = m_frame->View()->List();
    m_frame->Action(ID_VIEW_LARGE_ICONS)->trigger();
    QCOMPARE(list->GetViewMode(), CFSListCtrl::ViewMode::LargeIcons);
    QVERIFY(m_frame->Action(ID_VIEW_LARGE_ICONS)->isChecked());
    QVERIFY(!m_frame->Action(ID_VIEW_DETAILS)->isChecked());
    m_frame->Action(ID_VIEW_DETAILS)->trigger();
    QCOMPARE(list->GetViewMode(), CFSListCtrl::ViewMode::Details);
  }

  // Find Lost Files on a FAT volume opens its "LostFiles" through the deep-scan wizard; the
  // carved files appear in the list and stay when the folder is opened again.
  void deepScanThroughFindLostFiles() {
    QTreeWidgetItem* volume = VolumeItem(QStringLiteral("fat16"));
    Tree()->setCurrentItem(volume);
    QVERIFY(m_frame->Action(ID_FILE_FIND_LOST_FILES)->isEnabled());
    int wizardRuns = 0;
    WhenModalShown([](QWidget* w) { return qobject_cast<CDeepScanWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     ++wizardRuns;
                     auto* wizard = static_cast<QWizard*>(w);
                     wizard->button(QWizard::NextButton)->click();
                     wizard->button(QWizard::FinishButton)->click();
                   });
    m_frame->OnFindLostFiles();
    QCOMPARE(wizardRuns, 1);
    QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("LostFiles"));
    CDirectory* lost = CFSTreeCtrl::NodeOf(Tree()->currentItem());
    QVERIFY(lost->m_bLoaded);
    QStringList names = Column(Model(), 0);
    // A find that begins where a deleted file began shows that file's name beside its own.
    QVERIFY2(names.contains(QStringLiteral("FILE_1.JPG  [Holiday photo.jpg]")), qPrintable(names.join(',')));
    const int row = int(names.indexOf(QStringLiteral("FILE_1.JPG  [Holiday photo.jpg]")));
    QCOMPARE(Model()->data(Model()->index(row, 0), Qt::ToolTipRole).toString(),
             QStringLiteral("FILE_1.JPG: begins where Holiday photo.jpg (deleted) began"));
    QCOMPARE(Model()->rowCount(), int(lost->m_children.size()));
    SaveScreenshot(m_frame.get(), QStringLiteral("main-window-deep-scan"));
    // Opening the folder again shows the results without asking.
    Tree()->setCurrentItem(volume);
    Tree()->setCurrentItem(Tree()->FindItemOf(volume, lost));
    QCOMPARE(wizardRuns, 1);
    QCOMPARE(Column(Model(), 0), names);
  }

  // Find Lost Drives on a disk whose partition table is gone: the disk and range dialogs,
  // the search, and the volumes found under "My Computer".
  void findLostPartitions() {
    QTemporaryDir dir;
    QString copy = dir.filePath(QStringLiteral("wiped.img"));
    QVERIFY(QFile::copy(QString::fromStdString(FixturePath("disk.img")), copy));
    {
      QFile f(copy);
      QVERIFY(f.open(QIODevice::ReadWrite));
      QVERIFY(f.write(QByteArray(512, '\0')) == 512);
    }
    m_frame->OpenImages({copy}, false);
    int before = Tree()->m_pComputer->childCount();
    // The disk selected in the tree is the one offered.
    QTreeWidgetItem* diskItem = nullptr;
    for (int i = 0; i < Tree()->m_pDisks->childCount(); ++i)
      if (Tree()->m_pDisks->child(i)->text(0).contains(QStringLiteral("wiped.img"))) diskItem = Tree()->m_pDisks->child(i);
    QVERIFY(diskItem);
    Tree()->setCurrentItem(diskItem);
    QString offered;
    TakeJobSummaries();  // those of the scans before
    WhenModalShown([](QWidget* w) { return qobject_cast<CFindLostDriversDlg*>(w) != nullptr; },
                   [&offered](QWidget* w) {
                     offered = w->findChild<QComboBox*>(QStringLiteral("disks"))->currentText();
                     w->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->button(QDialogButtonBox::Ok)->click();
                     WhenModalShown([](QWidget* r) { return qobject_cast<CFindLostFilesDlg*>(r) != nullptr; },
                                    [](QWidget* r) {
                                      r->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))
                                          ->button(QDialogButtonBox::Ok)
                                          ->click();
                                    });
                   });
    m_frame->OnFindLostDrivers();
    QStringList found;
    for (int i = before; i < Tree()->m_pComputer->childCount(); ++i) found << Tree()->m_pComputer->child(i)->text(0);
    QCOMPARE(found.size(), 4);
    QVERIFY2(found.join(',').contains(QStringLiteral("LostDriver_2049")), qPrintable(found.join(',')));
    QVERIFY2(offered.contains(QStringLiteral("wiped.img")), qPrintable(offered));
    // The search ends with a summary listing what it found.
    const QStringList summaries = TakeJobSummaries();
    QCOMPARE(summaries.size(), 1);
    QVERIFY2(summaries[0].startsWith(QStringLiteral("4 lost volumes found on ")), qPrintable(summaries[0]));
    QVERIFY2(summaries[0].contains(QStringLiteral("LostDriver_2049: ")), qPrintable(summaries[0]));
    QCOMPARE(m_frame->StatusText(), QStringLiteral("4 lost volumes found"));
    // A found volume is browsed like any other.
    Tree()->setCurrentItem(Tree()->m_pComputer->child(before));
    QVERIFY(Column(Model(), 0).contains(QStringLiteral("README.TXT")));
  }

  void badImagesStayOut() {
    QStringList messages = m_frame->OpenImages({QStringLiteral("/nonexistent/disk.img")}, false);
    QCOMPARE(messages.size(), 1);
    QVERIFY(messages[0].contains(QStringLiteral("/nonexistent/disk.img")));
    // A truncated image opens; its root's deleted files lie past its end, so their checks
    // cannot read them, and the status bar says the list may be incomplete (a healthy volume's
    // does not: see above).
    m_frame->OpenImages({QString::fromStdString(FixturePath("truncated.img"))}, false);
    QTreeWidgetItem* item = nullptr;
    for (int i = 0; i < Tree()->m_pComputer->childCount(); ++i)
      if (Tree()->m_pComputer->child(i)->text(0).contains(QStringLiteral("truncated"))) item = Tree()->m_pComputer->child(i);
    QVERIFY(item);
    Tree()->setCurrentItem(item);
    QVERIFY2(m_frame->StatusText().contains(QStringLiteral("could not be read")), qPrintable(m_frame->StatusText()));

    // A file with no file system is a disk to deep-scan, not a volume; the user is told.
    int disks = Tree()->m_pDisks->childCount();
    int volumes = Tree()->m_pComputer->childCount();
    messages = m_frame->OpenImages({QString::fromStdString(FixturePath("notfs.img"))}, false);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(Tree()->m_pDisks->childCount(), disks + 1);
    QCOMPARE(Tree()->m_pComputer->childCount(), volumes);
  }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
