#include "ui/MainFrame.h"
#include "preview/PreviewRules.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "app/App.h"
#include "app/Document.h"
#include "settings/Settings.h"
#include "device/Driver.h"
#include "device/PhysicalDriver.h"
#include "platform/Profile.h"
#include "preview/PreviewRules.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/UiText.h"
#include "ui/AboutBox.h"
#include "ui/DiskImageDlg.h"
#include "ui/HelpViewer.h"
#include "ui/HexView.h"
#include "ui/PreviewPane.h"
#include "ui/OptionsDlg.h"
#include "ui/PropertiesDlg.h"
#include "ui/SearchDlg.h"
#include "ui/SearchResultPane.h"
#include "ui/UpdateCheck.h"
#include "ui/Icons.h"
#include "ui/KelvoView.h"
#include "tasks/TaskRunner.h"

namespace {

const char* kWindowSection = "Window";

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(QString::fromLatin1(name), QApplication::style()->standardIcon(fallback));
}

}  // namespace

CMainFrame::CMainFrame(CKelvoDoc* doc, QWidget* parent) : QMainWindow(parent), m_pDoc(doc) {
  setObjectName(QStringLiteral("mainFrame"));
  setWindowTitle(QStringLiteral("Tarnwell Quarrow"));
  setWindowIcon(icons::Program());
  GuiApp().m_pMainFrame = this;
  SetFolderTypeName(U(Tr("IDS_FOLDER_TYPE", u"File Folder")));

  m_pView = new CKelvoView(this);
  setCentralWidget(m_pView);
  CreateDocks();
  CreateMenus();
  SetShortcuts();
  CreateToolBar();

  m_pMessagePane = new QLabel(this);
  m_pMessagePane->setObjectName(QStringLiteral("messagePane"));
  statusBar()->addWidget(m_pMessagePane, 1);
  SetStatusText(Tr("IDS_UI_READY", u"Ready"));

  CFSListCtrl* list = m_pView->List();
  auto* context = new QMenu(this);
  context->addAction(Action(ID_FILE_RECOVER));
  context->addAction(Action(ID_FILE_VIEW_HEX));
  context->addSeparator();
  context->addAction(Action(ID_EDIT_SELECT_ALL));
  context->addAction(Action(ID_EDIT_INVERT_SELECTION));
  context->addSeparator();
  context->addAction(Action(ID_FILE_PROPERTIES));
  context->setObjectName(QStringLiteral("listContextMenu"));
  list->SetContextMenu(context);
  m_pResultPane->SetContextMenu(context);
  connect(m_pResultPane->List()->Model(), &QAbstractItemModel::modelReset, this, &CMainFrame::UpdateCommands);
  connect(m_pResultPane->List()->Model(), &QAbstractItemModel::rowsInserted, this, &CMainFrame::UpdateCommands);
  connect(list, &CFSListCtrl::ContextMenuShown, this, [this] {
    GuiApp().m_bResultListActive = false;
    UpdateCommands();
  });
  connect(list, &CFSListCtrl::SelectionChangedTo, this, [this, list](int count) {
    GuiApp().m_bResultListActive = false;
    UpdateCommands();
    if (count == 1) PreviewIfSmall(list->SelectedNodes().front());
  });
  connect(list, &CFSListCtrl::Clicked, this, [this, list] {
    SetStatusText(SelectedCountText(list->SelectedCount()));
  });
  connect(list, &CFSListCtrl::Activated, this, [this](CDirEntry* node) {
    if (!node->IsDirectory()) return;
    CFSTreeCtrl* tree = m_pTreePane->Tree();
    if (QTreeWidgetItem* item = tree->FindChildItem(static_cast<CDirectory*>(node))) tree->setCurrentItem(item);
  });
  connect(list->Model(), &QAbstractItemModel::modelReset, this, &CMainFrame::UpdateCommands);
  connect(list->Model(), &QAbstractItemModel::rowsInserted, this, &CMainFrame::UpdateCommands);
  // The item count follows the deleted-only rule and the filter bar, and a folder being filled.
  connect(list->Model(), &CFSListModel::FilterChanged, this, [this] {
    if (m_pView->List()->Model()->Folder()) SetStatusText(ItemCountStatus());
  });
  connect(list->Model(), &CFSListModel::LiveGrew, this, [this] { SetStatusText(ItemCountStatus()); });
  // Refresh waits for a search to end (queued: the search counts as running once its
  // button was handled).
  connect(m_pResultPane, &CSearchResultPane::SearchStarted, this, &CMainFrame::UpdateCommands, Qt::QueuedConnection);
  connect(m_pSearchPage, &CSearchDlg::SearchFinished, this, &CMainFrame::UpdateCommands);

  RestoreBars();
  UpdateCommands();
}

CMainFrame::~CMainFrame() {
  m_bDestroying = true;
  // The panes, docks and lists go in the base class's destructor, after this one: what they
  // signal on their way out (a dock hidden, a model reset) must not reach this object then.
  for (QObject* child : findChildren<QObject*>()) disconnect(child, nullptr, this, nullptr);
  if (GuiApp().m_pMainFrame == this) GuiApp().m_pMainFrame = nullptr;
}

QRect CMainFrame::InitialGeometry(const QRect& screen) {
  const int w = 960, h = 710;
  int x = screen.width() < w ? screen.left() + 20 : screen.left() + (screen.width() - w) / 2;
  int y = screen.height() < h ? screen.top() + 20 : screen.top() + (screen.height() - h) / 2;
  return QRect(x, y, w, h);
}

void CMainFrame::SetStatusText(const QString& text) {
  if (m_pMessagePane) m_pMessagePane->setText(text);
}

QString CMainFrame::StatusText() const { return m_pMessagePane ? m_pMessagePane->text() : QString(); }

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt) {
  QAction* a = m_actions.value(id);
  if (!a) {
    a = new QAction(text, this);
    a->setObjectName(QStringLiteral("cmd%1").arg(id));
    a->setData(id);
    a->setStatusTip(prompt.section(QLatin1Char('\n'), 0, 0));
    a->setToolTip(prompt.section(QLatin1Char('\n'), 1, 1).isEmpty() ? prompt.section(QLatin1Char('\n'), 0, 0)
                                                                    : prompt.section(QLatin1Char('\n'), 1, 1));
    m_actions.insert(id, a);
  }
  if (menu) menu->addAction(a);
  return a;
}

void CMainFrame::SetShortcuts() {
  // The desktop's standard keys where Qt names them; the menus show them. Text fields keep
  // their own keys (Backspace, Ctrl+A) while they have the focus.
  // The named keys first (shown in the menu), then the platform's other bindings of them.
  auto keysOf = [](QKeySequence first, QKeySequence::StandardKey standard) {
    QList<QKeySequence> all{first};
    for (const QKeySequence& k : QKeySequence::keyBindings(standard))
      if (!all.contains(k)) all.append(k);
    return all;
  };
  const std::pair<int, QList<QKeySequence>> keys[] = {
      {ID_FILE_OPEN_IMAGE, keysOf(QKeySequence(Qt::CTRL | Qt::Key_O), QKeySequence::Open)},
      {ID_FILE_RECOVER, {QKeySequence(Qt::CTRL | Qt::Key_R)}},
      {ID_EDIT_SEARCH, keysOf(QKeySequence(Qt::CTRL | Qt::Key_F), QKeySequence::Find)},
      {ID_FILE_PROPERTIES, {QKeySequence(Qt::ALT | Qt::Key_Return)}},
      {ID_EDIT_SELECT_ALL, keysOf(QKeySequence(Qt::CTRL | Qt::Key_A), QKeySequence::SelectAll)},
      {ID_VIEW_GO_TO_PARENT, {QKeySequence(Qt::Key_Backspace), QKeySequence(Qt::ALT | Qt::Key_Up)}},
      {ID_HELP_TOPICS, keysOf(QKeySequence(Qt::Key_F1), QKeySequence::HelpContents)},
      {ID_APP_EXIT, keysOf(QKeySequence(Qt::CTRL | Qt::Key_Q), QKeySequence::Quit)},
      // Last: a desktop that also binds Refresh to Ctrl+R keeps that key for Recover.
      {ID_VIEW_REFRESH, keysOf(QKeySequence(Qt::Key_F5), QKeySequence::Refresh)},
  };
  QList<QKeySequence> taken;
  for (const auto& [id, sequences] : keys) {
    QList<QKeySequence> own;
    for (const QKeySequence& k : sequences)
      if (!taken.contains(k)) own.append(k);
    taken.append(own);
    if (QAction* a = m_actions.value(id)) a->setShortcuts(own);
  }
}

void CMainFrame::CreateMenus() {
  QMenuBar* bar = menuBar();
  QMenu* file = bar->addMenu(Tr("IDS_UI_FILE", u"&File"));
  AddCommand(file, ID_FILE_OPEN_IMAGE, Tr("IDS_UI_OPEN_DISK_IMAGE", u"&Open Disk Image..."),
             Tr("IDS_UI_ADD_A_DISK_IMAGE_FILE_AS", u"Add a disk image file as a disk\nOpen Disk Image"));
  AddCommand(file, ID_FILE_CREATE_IMAGE, Tr("IDS_UI_CREATE_DISK_IMAGE_2", u"&Create Disk Image..."),
             Tr("IDS_UI_COPY_A_FAILING_DISK_OR_VOLUME", u"Copy a failing disk or volume into an image file, with a rescue map\nCreate Disk Image"));
  file->addSeparator();
  AddCommand(file, ID_FILE_RECOVER, Tr("IDS_UI_RECOVER", u"Recover..."), Tr("IDS_UI_RECOVER_SELECTED_FILES_RECOVER", u"Recover selected files\nRecover"));
  AddCommand(file, ID_FILE_FIND_LOST_FILES, Tr("IDS_UI_FIND_LOST_FILES", u"Find Lost Files..."),
             Tr("IDS_UI_DEEP_SCAN_THE_SELECTED_DRIVE_FOR", u"Deep scan the selected drive for lost files\nFind Lost Files"));
  AddCommand(file, ID_FILE_SAVE_SCAN, Tr("IDS_UI_SAVE_SCAN", u"Save Scan..."),
             Tr("IDS_UI_SAVE_SCAN_TIP", u"Save the selected drive's deep scan so that it can be resumed or looked at "
                                         u"later\nSave Scan"));
  AddCommand(file, ID_FILE_OPEN_SCAN, Tr("IDS_UI_OPEN_SCAN", u"Open Scan..."),
             Tr("IDS_UI_OPEN_SCAN_TIP", u"Open a saved deep scan of the selected drive and go on with it\nOpen Scan"));
  AddCommand(file, ID_FILE_FIND_LOST_DRIVERS, Tr("IDS_UI_FIND_LOST_DRIVES_2", u"Find Lost Drives..."),
             Tr("IDS_UI_SEARCH_A_DISK_FOR_LOST_PARTITIONS", u"Search a disk for lost partitions\nFind Lost Drives"));
  file->addSeparator();
  AddCommand(file, ID_FILE_VIEW_HEX, Tr("IDS_UI_VIEW_WITH_HEX_2", u"View With Hex..."), Tr("IDS_UI_SHOW_THE_BYTES_OF_THE_SELECTED", u"Show the bytes of the selected file\nView With Hex"));
  AddCommand(file, ID_FILE_PROPERTIES, Tr("IDS_UI_P_ROPERTIES", u"P&roperties..."),
             Tr("IDS_UI_SHOW_THE_PROPERTIES_OF_THE_SELECTED", u"Show the properties of the selected item\nProperties"));
  file->addSeparator();
  AddCommand(file, ID_APP_EXIT, Tr("IDS_UI_E_XIT", u"E&xit"), Tr("IDS_UI_QUIT_THE_APPLICATION_EXIT", u"Quit the application\nExit"));

  QMenu* edit = bar->addMenu(Tr("IDS_UI_EDIT", u"&Edit"));
  AddCommand(edit, ID_EDIT_SELECT_ALL, Tr("IDS_UI_SELECT_ALL", u"Select &All"),
             Tr("IDS_UI_SELECT_ALL_ITEMS_SELECT_ALL", u"Select all items\nSelect All"));
  AddCommand(edit, ID_EDIT_INVERT_SELECTION, Tr("IDS_UI_IN_VERT_SELECTION", u"In&vert Selection"),
             Tr("IDS_UI_INVERT_THE_SELECTION_INVERT_SELECTION", u"Invert the selection\nInvert Selection"));
  edit->addSeparator();
  AddCommand(edit, ID_EDIT_SEARCH, Tr("IDS_UI_SEARC_H", u"Searc&h"), Tr("IDS_UI_SEARCH_FOR_FILES_SEARCH", u"Search for files\nSearch"));

  QMenu* view = bar->addMenu(Tr("IDS_UI_VIEW", u"&View"));
  AddCommand(view, ID_VIEW_TOOLBAR, Tr("IDS_UI_TOOLBAR", u"&Toolbar"), Tr("IDS_UI_SHOW_OR_HIDE_THE_TOOLBAR_TOGGLE", u"Show or hide the toolbar\nToggle Toolbar"));
  AddCommand(view, ID_VIEW_STATUS_BAR, Tr("IDS_UI_STATUS_BAR", u"&Status Bar"),
             Tr("IDS_UI_SHOW_OR_HIDE_THE_STATUS_BAR", u"Show or hide the status bar\nToggle Status Bar"));
  AddCommand(view, ID_VIEW_NAVIGATION, Tr("IDS_UI_NAVIGATION", u"Navigation"),
             Tr("IDS_UI_SHOW_OR_HIDE_THE_NAVIGATION_PANE", u"Show or hide the navigation pane\nNavigation"));
  AddCommand(view, ID_VIEW_PREVIEW, Tr("IDS_UI_FILE_PREVIEW", u"File Preview"),
             Tr("IDS_UI_SHOW_OR_HIDE_THE_PREVIEW_PANE", u"Show or hide the preview pane\nFile Preview"));
  AddCommand(view, ID_VIEW_SEARCH_RESULT, Tr("IDS_UI_SEARCH_RESULT", u"Search Result"),
             Tr("IDS_UI_SHOW_OR_HIDE_THE_SEARCH_RESULT", u"Show or hide the search result pane\nSearch Result"));
  view->addSeparator();
  m_pViewModes = new QActionGroup(this);
  for (auto [id, text, prompt] :
       {std::tuple{ID_VIEW_LARGE_ICONS, Tr("IDS_UI_LARGE_ICONS", u"Lar&ge Icons"),
                   Tr("IDS_UI_LARGE_ICONS_PROMPT", u"Display items by using large icons\nLarge Icons")},
        std::tuple{ID_VIEW_SMALL_ICONS, Tr("IDS_UI_SMALL_ICONS", u"S&mall Icons"),
                   Tr("IDS_UI_SMALL_ICONS_PROMPT", u"Display items by using small icons\nSmall Icons")},
        std::tuple{ID_VIEW_LIST, Tr("IDS_UI_LIST", u"&List"), Tr("IDS_UI_LIST_PROMPT", u"Display items in a list\nList")},
        std::tuple{ID_VIEW_DETAILS, Tr("IDS_UI_DETAILS", u"&Details"),
                   Tr("IDS_UI_DETAILS_PROMPT", u"Display information about each item\nDetails")}}) {
    QAction* a = AddCommand(view, id, text, prompt);
    a->setCheckable(true);
    m_pViewModes->addAction(a);
  }
  Action(ID_VIEW_DETAILS)->setChecked(true);
  view->addSeparator();
  AddCommand(view, ID_VIEW_DELETED_ONLY, Tr("IDS_VIEW_DELETED_ONLY", u"Show &Deleted Items Only"),
             Tr("IDS_VIEW_DELETED_ONLY_PROMPT", u"List only the deleted items\nShow Deleted Items Only"));
  Action(ID_VIEW_DELETED_ONLY)->setCheckable(true);
  AddCommand(view, ID_VIEW_GO_TO_PARENT, Tr("IDS_UI_GO_TO_PARENT", u"Go To Parent"),
             Tr("IDS_UI_GO_TO_THE_PARENT_FOLDER_GO", u"Go to the parent folder\nGo To Parent"));
  view->addSeparator();
  AddCommand(view, ID_VIEW_REFRESH, Tr("IDS_UI_REFRESH", u"&Refresh"),
             Tr("IDS_UI_REFRESH_PROMPT", u"Look again for disks and drives plugged in or removed\nRefresh"));

  QMenu* tools = bar->addMenu(Tr("IDS_UI_TOOLS", u"&Tools"));
  AddCommand(tools, ID_TOOLS_OPTIONS, Tr("IDS_UI_OPTIONS", u"&Options..."), Tr("IDS_UI_CHANGE_THE_OPTIONS_OPTIONS", u"Change the options\nOptions"));

  QMenu* help = bar->addMenu(Tr("IDS_UI_HELP", u"&Help"));
  AddCommand(help, ID_HELP_CHECK_UPDATES, Tr("IDS_UI_CHECK_FOR_UPDATES", u"Check for Updates..."),
             Tr("IDS_UI_CHECK_FOR_A_NEWER_VERSION_CHECK", u"Check for a newer version\nCheck for Updates"));
  help->addSeparator();
  AddCommand(help, ID_HELP_TOPICS, Tr("IDS_UI_HELP_TOPICS", u"&Help Topics"), Tr("IDS_UI_LIST_THE_HELP_TOPICS_HELP_TOPICS", u"List the Help topics\nHelp Topics"));
  AddCommand(help, ID_APP_ABOUT, Tr("IDS_UI_ABOUT_TARNWELL_QUARROW", u"&About Tarnwell Quarrow"),
             Tr("IDS_UI_DISPLAY_THE_PROGRAM_S_INFORMATION_VERSION", u"Display the program's information, version number and copyright\nAbout"));

  for (int id : {ID_VIEW_TOOLBAR, ID_VIEW_STATUS_BAR, ID_VIEW_NAVIGATION, ID_VIEW_PREVIEW, ID_VIEW_SEARCH_RESULT})
    Action(id)->setCheckable(true);
  Action(ID_EDIT_SEARCH)->setCheckable(true);

  // Menus refresh their states as they open.
  for (QMenu* m : {file, edit, view, tools, help}) connect(m, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommands);

  connect(Action(ID_FILE_OPEN_IMAGE), &QAction::triggered, this, &CMainFrame::OnOpenImage);
  connect(Action(ID_FILE_CREATE_IMAGE), &QAction::triggered, this, &CMainFrame::OnCreateImage);
  connect(Action(ID_FILE_RECOVER), &QAction::triggered, this, &CMainFrame::OnRecover);
  connect(Action(ID_FILE_FIND_LOST_FILES), &QAction::triggered, this, &CMainFrame::OnFindLostFiles);
  connect(Action(ID_FILE_SAVE_SCAN), &QAction::triggered, this, &CMainFrame::OnSaveScan);
  connect(Action(ID_FILE_OPEN_SCAN), &QAction::triggered, this, &CMainFrame::OnOpenScan);
  connect(Action(ID_FILE_FIND_LOST_DRIVERS), &QAction::triggered, this, &CMainFrame::OnFindLostDrivers);
  connect(Action(ID_APP_EXIT), &QAction::triggered, this, &QWidget::close);
  connect(Action(ID_EDIT_SELECT_ALL), &QAction::triggered, this, &CMainFrame::OnSelectAll);
  connect(Action(ID_EDIT_INVERT_SELECTION), &QAction::triggered, this, &CMainFrame::OnInvertSelection);
  connect(Action(ID_EDIT_SEARCH), &QAction::triggered, this, &CMainFrame::OnSearch);
  connect(Action(ID_VIEW_GO_TO_PARENT), &QAction::triggered, this, &CMainFrame::OnGoToParent);
  connect(Action(ID_VIEW_REFRESH), &QAction::triggered, this, &CMainFrame::OnRefresh);
  connect(Action(ID_VIEW_DELETED_ONLY), &QAction::toggled, this, &CMainFrame::OnDeletedOnly);
  connect(Action(ID_FILE_PROPERTIES), &QAction::triggered, this, [this] {
    CFSListCtrl* list = ActiveList();
    if (list->SelectedCount() != 1) return;  // exactly one item
    if (CDirEntry* node = list->SelectedNodes().front()) {
      StopRunningSearch();
      ShowPropertiesDialog(this, node);
    }
  });
  connect(Action(ID_FILE_VIEW_HEX), &QAction::triggered, this, [this] {
    if (CFSFile* file = HexViewTarget()) {
      StopRunningSearch();
      ShowHexView(this, file);
    }
  });
  connect(Action(ID_TOOLS_OPTIONS), &QAction::triggered, this, [this] { RunOptionsDialog(this); });
  connect(Action(ID_APP_ABOUT), &QAction::triggered, this, [this] { ShowAboutBox(this); });
  connect(Action(ID_HELP_TOPICS), &QAction::triggered, this, [this] { ShowHelpTopics(this); });
  connect(Action(ID_HELP_CHECK_UPDATES), &QAction::triggered, this, [this] {
    if (!StartUpdaterInteractive())
      QMessageBox::information(this, QStringLiteral("Tarnwell Quarrow"),
                               Tr("IDS_UI_THE_UPDATER_UPDATEMANAGER_COULD_NOT_BE", u"The updater (UpdateManager) could not be started: it is not installed."));
  });
  connect(Action(ID_VIEW_STATUS_BAR), &QAction::triggered, this, [this](bool on) {
    statusBar()->setVisible(on);
  });
  connect(Action(ID_VIEW_NAVIGATION), &QAction::triggered, this, [this](bool on) { m_pLeftBar->setVisible(on); });
  connect(Action(ID_VIEW_PREVIEW), &QAction::triggered, this, [this](bool on) { m_pPreviewBar->setVisible(on); });
  connect(Action(ID_VIEW_SEARCH_RESULT), &QAction::triggered, this, [this](bool on) { m_pResultBar->setVisible(on); });
  auto mode = [this](int id, CFSListCtrl::ViewMode m) {
    connect(Action(id), &QAction::triggered, this, [this, m] { m_pView->List()->SetViewMode(m); });
  };
  mode(ID_VIEW_LARGE_ICONS, CFSListCtrl::ViewMode::LargeIcons);
  mode(ID_VIEW_SMALL_ICONS, CFSListCtrl::ViewMode::SmallIcons);
  mode(ID_VIEW_LIST, CFSListCtrl::ViewMode::List);
  mode(ID_VIEW_DETAILS, CFSListCtrl::ViewMode::Details);
}

void CMainFrame::CreateToolBar() {
  m_pToolBar = addToolBar(Tr("IDS_UI_TOOLBAR", u"&Toolbar"));
  m_pToolBar->setObjectName(QStringLiteral("mainToolBar"));
  m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  m_pToolBar->setIconSize(QSize(20, 20));
  Action(ID_VIEW_GO_TO_PARENT)->setIcon(ThemeIcon("go-up", QStyle::SP_FileDialogToParent));
  Action(ID_VIEW_REFRESH)->setIcon(ThemeIcon("view-refresh", QStyle::SP_BrowserReload));
  Action(ID_FILE_RECOVER)->setIcon(ThemeIcon("document-save", QStyle::SP_DialogSaveButton));
  Action(ID_FILE_PROPERTIES)->setIcon(ThemeIcon("document-properties", QStyle::SP_FileDialogInfoView));
  Action(ID_FILE_VIEW_HEX)->setIcon(ThemeIcon("text-x-hex", QStyle::SP_FileDialogContentsView));
  Action(ID_FILE_FIND_LOST_FILES)->setIcon(ThemeIcon("edit-find", QStyle::SP_FileDialogDetailedView));
  Action(ID_EDIT_SEARCH)->setIcon(ThemeIcon("system-search", QStyle::SP_FileDialogContentsView));
  Action(ID_TOOLS_OPTIONS)->setIcon(ThemeIcon("preferences-system", QStyle::SP_ComputerIcon));
  Action(ID_HELP_TOPICS)->setIcon(ThemeIcon("help-contents", QStyle::SP_MessageBoxQuestion));
  Action(ID_VIEW_DELETED_ONLY)->setIcon(ThemeIcon("user-trash", QStyle::SP_TrashIcon));
  for (int id : std::initializer_list<int>{ID_VIEW_GO_TO_PARENT, ID_VIEW_REFRESH, 0, ID_FILE_RECOVER, ID_FILE_PROPERTIES, ID_FILE_VIEW_HEX, 0,
                 ID_FILE_FIND_LOST_FILES, ID_EDIT_SEARCH, ID_VIEW_DELETED_ONLY, 0}) {
    if (id == 0) m_pToolBar->addSeparator();
    else m_pToolBar->addAction(Action(id));
  }
  // The view-mode button: its whole face opens the menu of the four modes.
  auto* modes = new QMenu(this);
  for (int id : {ID_VIEW_LARGE_ICONS, ID_VIEW_SMALL_ICONS, ID_VIEW_LIST, ID_VIEW_DETAILS}) modes->addAction(Action(id));
  auto* button = new QToolButton(this);
  button->setObjectName(QStringLiteral("cmd%1").arg(ID_VIEW_MODE_BUTTON));
  button->setText(Tr("IDS_UI_VIEWS", u"Views"));
  button->setToolTip(Tr("IDS_UI_VIEWS", u"Views"));
  button->setIcon(ThemeIcon("view-list-details", QStyle::SP_FileDialogListView));
  button->setMenu(modes);
  button->setPopupMode(QToolButton::InstantPopup);
  button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  m_pToolBar->addWidget(button);
  m_pToolBar->addSeparator();
  m_pToolBar->addAction(Action(ID_TOOLS_OPTIONS));
  m_pToolBar->addSeparator();
  m_pToolBar->addAction(Action(ID_HELP_TOPICS));
  // Text labels only on the buttons used most; Help Topics and Refresh show their icons alone
  // (Refresh's is the one every browser has).
  for (int id : {ID_HELP_TOPICS, ID_VIEW_REFRESH})
    if (auto* button = qobject_cast<QToolButton*>(m_pToolBar->widgetForAction(Action(id))))
      button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  connect(Action(ID_VIEW_TOOLBAR), &QAction::triggered, m_pToolBar, &QWidget::setVisible);
}

void CMainFrame::CreateDocks() {
  setDockNestingEnabled(true);
  m_pLeftBar = new QDockWidget(Tr("IDS_UI_NAVIGATION", u"Navigation"), this);
  m_pLeftBar->setObjectName(QStringLiteral("leftPaneBar"));
  m_pLeftPages = new QTabWidget(m_pLeftBar);
  m_pLeftPages->setObjectName(QStringLiteral("leftPages"));
  m_pLeftPages->setTabPosition(QTabWidget::South);
  m_pTreePane = new CFoldersTreeDlg(m_pDoc, m_pLeftPages);
  m_pLeftPages->addTab(m_pTreePane, Tr("IDS_UI_DRIVES", u"Drives"));
  m_pLeftBar->setWidget(m_pLeftPages);
  addDockWidget(Qt::LeftDockWidgetArea, m_pLeftBar);

  m_pPreviewBar = new QDockWidget(Tr("IDS_UI_FILE_PREVIEW", u"File Preview"), this);
  m_pPreviewBar->setObjectName(QStringLiteral("previewBar"));
  m_pPreviewPane = new CPreviewPane(m_pPreviewBar);
  m_pPreviewPane->setMinimumHeight(120);
  m_pPreviewBar->setWidget(m_pPreviewPane);
  addDockWidget(Qt::LeftDockWidgetArea, m_pPreviewBar);
  splitDockWidget(m_pLeftBar, m_pPreviewBar, Qt::Vertical);

  m_pResultBar = new QDockWidget(Tr("IDS_UI_SEARCH_RESULT", u"Search Result"), this);
  m_pResultBar->setObjectName(QStringLiteral("resultBar"));
  // The result pane before the page that fills it.
  m_pResultPane = new CSearchResultPane(m_pResultBar);
  m_pResultBar->setWidget(m_pResultPane);
  m_pSearchPage = new CSearchDlg(m_pDoc, m_pResultPane, m_pLeftPages);
  m_pLeftPages->addTab(m_pSearchPage, Tr("IDS_UI_SEARCH", u"Search"));
  connect(m_pResultPane, &CSearchResultPane::SearchStarted, m_pResultBar, &QWidget::show);
  addDockWidget(Qt::BottomDockWidgetArea, m_pResultBar);
  m_pResultBar->hide();
  resizeDocks({m_pLeftBar}, {260}, Qt::Horizontal);
  resizeDocks({m_pLeftBar, m_pPreviewBar}, {420, 200}, Qt::Vertical);

  for (QDockWidget* d : {m_pLeftBar, m_pPreviewBar, m_pResultBar})
    connect(d, &QDockWidget::visibilityChanged, this, &CMainFrame::UpdateCommands);
  connect(m_pLeftPages, &QTabWidget::currentChanged, this, &CMainFrame::UpdateCommands);
  connect(m_pTreePane, &CFoldersTreeDlg::FolderSelected, this, &CMainFrame::OnFolderSelected);
  connect(m_pTreePane, &CFoldersTreeDlg::FolderSelected, m_pSearchPage, &CSearchDlg::OnTreeFolderSelected);
}

void CMainFrame::RestoreBars() {
  std::string file = SettingsFilePath();
  QByteArray toolbar = QByteArray::fromBase64(
      QByteArray::fromStdString(profile::GetString(file, kWindowSection, "ToolbarState", "", 100000)));
  if (!toolbar.isEmpty()) restoreState(toolbar);
  std::string menubar = profile::GetString(file, kWindowSection, "MenubarState", "");
  if (menubar == "hidden") menuBar()->hide();
  m_pResultBar->hide();  // the result bar starts hidden whatever was saved
}

void CMainFrame::SaveBars() {
  std::string file = SettingsFilePath();
  profile::WriteString(file, kWindowSection, "ToolbarState", saveState().toBase64().toStdString());
  profile::WriteString(file, kWindowSection, "MenubarState", menuBar()->isVisible() || !isVisible() ? "shown" : "hidden");
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  StopRunningSearch();  // before the document and its volumes go
  SaveBars();
  QMainWindow::closeEvent(event);
}

CFSListCtrl* CMainFrame::ActiveList() const {
  if (GuiApp().m_bResultListActive && GuiApp().m_pResultList) return GuiApp().m_pResultList;
  return m_pView->List();
}

void CMainFrame::UpdateCommands() {
  if (m_bDestroying) return;
  CFSListCtrl* list = ActiveList();
  int selected = list->SelectedCount();
  int items = list->Model()->rowCount();
  QTreeWidgetItem* treeItem = m_pTreePane->Tree()->currentItem();
  bool topOrNone = !treeItem || m_pTreePane->Tree()->IsTopItem(treeItem);

  Action(ID_FILE_RECOVER)->setEnabled(selected > 0);
  Action(ID_FILE_FIND_LOST_FILES)->setEnabled(!topOrNone);
  CDirectory* current = CFSTreeCtrl::NodeOf(treeItem);
  CLogicalDriver* volume = current ? current->m_pDriver : nullptr;
  Action(ID_FILE_SAVE_SCAN)->setEnabled(!topOrNone && volume && volume->m_pScanJournal);
  Action(ID_FILE_OPEN_SCAN)->setEnabled(!topOrNone && volume && volume->m_pLostFolder);
  Action(ID_FILE_FIND_LOST_DRIVERS)->setEnabled(true);
  Action(ID_FILE_CREATE_IMAGE)->setEnabled(true);
  // Properties shows one item: with several selected it would do nothing.
  Action(ID_FILE_PROPERTIES)->setEnabled(selected == 1);
  Action(ID_FILE_VIEW_HEX)->setEnabled(HexViewTarget() != nullptr);
  Action(ID_EDIT_SELECT_ALL)->setEnabled(items > 0);
  Action(ID_EDIT_INVERT_SELECTION)->setEnabled(items > 0);
  Action(ID_EDIT_SEARCH)->setEnabled(true);
  Action(ID_EDIT_SEARCH)->setChecked(m_pLeftBar->isVisible() && m_pLeftPages->currentIndex() == 1);
  Action(ID_VIEW_TOOLBAR)->setChecked(m_pToolBar && m_pToolBar->isVisible());
  Action(ID_VIEW_STATUS_BAR)->setChecked(statusBar()->isVisible());
  Action(ID_VIEW_NAVIGATION)->setChecked(m_pLeftBar->isVisible());
  Action(ID_VIEW_PREVIEW)->setChecked(m_pPreviewBar->isVisible());
  Action(ID_VIEW_SEARCH_RESULT)->setChecked(m_pResultBar->isVisible());
  Action(ID_VIEW_GO_TO_PARENT)->setEnabled(treeItem && treeItem->parent());
  // The search is the one job that leaves the window free; the others run behind modal
  // windows, which keep the key and the menus from it (and OnRefresh refuses them too).
  Action(ID_VIEW_REFRESH)->setEnabled(!m_pSearchPage->IsRunning());
}

bool CMainFrame::JobRunning() const {
  return m_pSearchPage->IsRunning() || CThreadPropertyPage::StopEvent() || QApplication::activeModalWidget();
}

bool CMainFrame::ShowsAnythingOf(const CLogicalDriver& volume) const {
  auto of = [&](const CDirEntry* node) { return node && node->m_pDriver == &volume; };
  if (m_pView->List()->Model()->References(&volume)) return true;
  if (GuiApp().m_pResultList && GuiApp().m_pResultList->Model()->References(&volume)) return true;
  return of(CFSTreeCtrl::NodeOf(m_pTreePane->Tree()->currentItem())) || of(m_pPreviewPane->PreviewItem());
}

QString CMainFrame::ItemCountStatus() const {
  const CFSListModel* model = m_pView->List()->Model();
  return ShownCountText(qulonglong(model->rowCount()), qulonglong(model->TotalCount()), model->IsFiltered(),
                        model->DeletedOnly());
}

void CMainFrame::OnRefresh() {
  if (JobRunning()) return;
  RefreshOutcome outcome;
  {
    CWaitCursor wait;
    outcome = m_pDoc->Refresh([this](const CLogicalDriver& volume) { return ShowsAnythingOf(volume); });
  }
  m_pTreePane->ApplyRefresh(outcome);
  m_pSearchPage->SyncVolumes();
  // The shown folder is read again from the model: sorted and filtered as it was.
  if (m_pView->List()->Model()->Folder()) {
    m_pView->List()->Reread();
    SetStatusText(ItemCountStatus());
  }
  UpdateCommands();
}

uint64_t FailedReadsOf(const CDirEntry* node) {
  return node && node->m_pDriver && node->m_pDriver->m_hDevice ? node->m_pDriver->m_hDevice->FailedReads() : 0;
}

CFSFile* CMainFrame::HexViewTarget() const {
  CFSListCtrl* list = ActiveList();
  if (list->SelectedCount() == 0) return nullptr;
  std::vector<CDirEntry*> nodes = list->SelectedNodes();
  auto* file = nodes.empty() ? nullptr : dynamic_cast<CFSFile*>(nodes.front());
  return file && file->GetSize() != 0 ? file : nullptr;
}

void CMainFrame::OnFolderSelected(CDirectory* folder) {
  StopRunningSearch();
  m_pPreviewPane->Clear();
  if (!folder) {
    UpdateCommands();
    return;
  }
  m_pView->ShowList();
  const uint64_t failedBefore = FailedReadsOf(folder);
  m_pView->ShowInList(folder);
  QString text = ItemCountStatus();
  // A sector that cannot be read (a damaged disk, a device gone, a truncated image) ends a
  // folder's listing early: say so instead of showing a short list as if it were whole.
  if (FailedReadsOf(folder) != failedBefore)
    text += QLatin1Char(' ') + Tr("IDS_UI_SOME_SECTORS_OF_THIS_VOLUME_COULD",
                                  u"(some sectors of this volume could not be read; the list may be incomplete)");
  SetStatusText(text);
  UpdateCommands();
}

void CMainFrame::PreviewIfSmall(CDirEntry* node) {
  if (!node || node->IsDirectory() || !GuiApp().m_loadPreview) return;
  if (CanPreviewSize(node->GetSize(), TheApp().m_settings.PreviewLargeFile)) {
    StopRunningSearch();
    GuiApp().m_loadPreview(node);
  }
}

void CMainFrame::OnDeletedOnly(bool on) {
  // Both lists follow the one switch; the rows go, the selection with them.
  for (CFSListCtrl* list : {m_pView->List(), GuiApp().m_pResultList}) {
    if (!list) continue;
    list->Selection()->clearSelection();
    list->Model()->SetDeletedOnly(on);
  }
  if (m_pView->List()->Model()->Folder()) SetStatusText(ItemCountStatus());
  UpdateCommands();
}

void CMainFrame::OnSelectAll() {
  CFSListCtrl* list = ActiveList();
  list->SelectAll();
  SetStatusText(SelectedCountText(list->SelectedCount()));
}

void CMainFrame::OnInvertSelection() { ActiveList()->InvertSelection(); }

void CMainFrame::OnSearch() {
  if (!m_pLeftBar->isVisible()) m_pLeftBar->show();
  m_pLeftPages->setCurrentIndex(m_pLeftPages->currentIndex() == 0 ? 1 : 0);
  UpdateCommands();
}

void CMainFrame::OnGoToParent() {
  CFSTreeCtrl* tree = m_pTreePane->Tree();
  QTreeWidgetItem* item = tree->currentItem();
  QTreeWidgetItem* parent = item ? item->parent() : nullptr;
  if (!parent || tree->IsTopItem(parent)) return;
  m_pView->ShowList();
  if (CFSTreeCtrl::NodeOf(parent)) tree->setCurrentItem(parent);
}

void CMainFrame::OnFindLostFiles() {
  StopRunningSearch();
  m_pPreviewPane->Clear();
  CFSTreeCtrl* tree = m_pTreePane->Tree();
  QTreeWidgetItem* item = tree->currentItem();
  CDirectory* node = CFSTreeCtrl::NodeOf(item);
  if (!node || !node->m_pDriver) return;
  CLogicalDriver* volume = node->m_pDriver;
  QTreeWidgetItem* volumeItem = tree->FindVolumeItem(volume);
  QTreeWidgetItem* lostItem = tree->FindLostFolderItem(volumeItem, volume);
  if (!volumeItem || !lostItem) return;
  volume->m_pLostFolder->m_bLoaded = false;  // filled anew
  if (node == volume->m_pLostFolder) {
    m_pView->ShowInList(node);
    SetStatusText(ItemCountStatus());
    UpdateCommands();
  } else {
    tree->setCurrentItem(lostItem);
  }
}

QStringList CMainFrame::OpenImages(const QStringList& paths, bool showMessages) {
  QStringList messages;
  for (const QString& path : paths) {
    std::string error, note;
    if (!m_pDoc->AddDiskImage(path.toStdString(), &error, &note)) {
      messages << QString::fromStdString(error.empty() ? path.toStdString() + ": cannot be opened" : error);
      continue;
    }
    if (!note.empty()) messages << QString::fromStdString(note);
  }
  m_pTreePane->SyncVolumes();
  if (showMessages)
    for (const QString& m : messages) QMessageBox::warning(this, QStringLiteral("Tarnwell Quarrow"), m);
  return messages;
}

void CMainFrame::OnCreateImage() {
  // Offered: every disk, and the volumes that are devices of their own; any other path
  // can be typed. The copy reads through a handle of its own.
  QStringList sources;
  // Devices gone since they were listed are not offered.
  for (const auto& d : m_pDoc->Disks())
    if (!d->m_bDisconnected) sources << QString::fromStdString(d->m_source.strPath);
  for (const auto& v : m_pDoc->Volumes())
    if (!v->m_bDisconnected && v->m_source.nOffset == 0 && v->m_source.nLength == 0 &&
        !sources.contains(QString::fromStdString(v->m_source.strPath)))
      sources << QString::fromStdString(v->m_source.strPath);
  CDiskImageDlg dlg(sources, this);
  connect(&dlg, &CDiskImageDlg::ImageReady, this, [this](const QString& path) { OpenImages({path}); });
  dlg.exec();
}

void CMainFrame::OnOpenImage() {
  // Raw images and the containers read as disks (recognised by their contents, not by these names).
  QStringList files = QFileDialog::getOpenFileNames(
      this, Tr("IDS_UI_OPEN_DISK_IMAGE_2", u"Open Disk Image"), QString(),
      Tr("IDS_UI_DISK_IMAGES_IMG_RAW_DD_BIN", u"Disk images (*.img *.raw *.dd *.bin *.iso *.ima *.001 *.aa *.E01 *.e01 *.Ex01 *.vhd *.vhdx "
                     u"*.qcow2 *.qcow *.vmdk);;All files (*)"));
  if (!files.isEmpty()) OpenImages(files);
}
