// The main window: menu bar, toolbar, status bar, the docking panes and the main view,
// and every command of the menus.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QStringList>

class CKelvoDoc;
class CKelvoView;
class CFoldersTreeDlg;
class CFSListCtrl;
class CDirectory;
class CPhysicalDriver;
class CDirEntry;
class CFSFile;
class CLogicalDriver;
class CPreviewPane;
class CSearchDlg;
class CSearchResultPane;
class QAction;
class QActionGroup;
class QDockWidget;
class QLabel;
class QTabWidget;
class QToolBar;

// Command ids of the menus and the toolbar (each QAction's objectName is "cmd<id>").
enum : int {
  ID_FILE_RECOVER = 32773,
  ID_FILE_FIND_LOST_FILES = 32791,
  ID_FILE_FIND_LOST_DRIVERS = 32802,
  ID_FILE_VIEW_HEX = 32803,
  ID_FILE_PROPERTIES = 32781,
  ID_FILE_OPEN_IMAGE = 32810,  // this program's own: adds a disk image
  ID_FILE_CREATE_IMAGE = 32811,  // this program's own: copies a disk into an image
  ID_FILE_SAVE_SCAN = 32820,     // this program's own: writes the last deep scan's session
  ID_FILE_OPEN_SCAN = 32821,     // this program's own: resumes a deep scan from its session
  ID_APP_EXIT = 57665,
  ID_EDIT_SELECT_ALL = 57642,
  ID_EDIT_INVERT_SELECTION = 32779,
  ID_EDIT_SEARCH = 32775,
  ID_VIEW_TOOLBAR = 59392,
  ID_VIEW_STATUS_BAR = 59393,
  ID_VIEW_NAVIGATION = 32776,
  ID_VIEW_PREVIEW = 32804,
  ID_VIEW_SEARCH_RESULT = 32777,
  ID_VIEW_LARGE_ICONS = 32771,
  ID_VIEW_SMALL_ICONS = 32772,
  ID_VIEW_LIST = 32789,
  ID_VIEW_DETAILS = 32790,
  ID_VIEW_GO_TO_PARENT = 32792,
  ID_VIEW_DELETED_ONLY = 32812,  // this program's own: the lists show deleted items only
  ID_VIEW_REFRESH = 32822,       // this program's own: lists the machine's drives again
  ID_VIEW_MODE_BUTTON = 61463,
  ID_TOOLS_OPTIONS = 32796,
  ID_HELP_CHECK_UPDATES = 32801,
  ID_HELP_TOPICS = 57667,
  ID_APP_ABOUT = 57664,
};

// The failed reads so far of the device the node's volume reads from (0 without one).
uint64_t FailedReadsOf(const CDirEntry* node);

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  explicit CMainFrame(CKelvoDoc* doc, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // The message pane of the status bar.
  void SetStatusText(const QString& text);
  QString StatusText() const;

  QAction* Action(int id) const { return m_actions.value(id); }
  CKelvoView* View() const { return m_pView; }
  CFoldersTreeDlg* TreePane() const { return m_pTreePane; }
  QDockWidget* LeftBar() const { return m_pLeftBar; }
  QDockWidget* PreviewBar() const { return m_pPreviewBar; }
  QDockWidget* ResultBar() const { return m_pResultBar; }
  QTabWidget* LeftPages() const { return m_pLeftPages; }

  // The list that the commands act on: the search result list when it was the last one
  // used, otherwise the file list of the view.
  CFSListCtrl* ActiveList() const;

  // Adds disk images (and their volumes) to the document and the tree; a file that cannot
  // be opened is reported and stays out. Answers the messages shown (for tests).
  QStringList OpenImages(const QStringList& paths, bool showMessages = true);

  // Enables and checks every command by the current state.
  void UpdateCommands();

  // Places the window: 960 x 710 centred in the available area, at 20 from the left or
  // top edge on a screen too narrow or too low.
  static QRect InitialGeometry(const QRect& screen);

  // The commands.
  void OnRecover();
  void OnFindLostFiles();
  void OnFindLostDrivers();
  // File > Save Scan... / Open Scan...: ask for a session file, then SaveScanTo / OpenScanFrom.
  void OnSaveScan();
  void OnOpenScan();
  // Writes the selected volume's last deep scan (its finds and how far it got) to path;
  // answers the error, empty on success.
  QString SaveScanTo(const QString& path);
  // Resumes the deep scan a session file recorded, on the selected volume (refused for
  // another source), and shows its results; answers the error, empty on success.
  QString OpenScanFrom(const QString& path);
  // View > Show Deleted Items Only (and its toolbar button): filters the file list and the
  // search result list.
  void OnDeletedOnly(bool on);
  void OnGoToParent();
  // View > Refresh (F5): lists the machine's disks and volumes again, as at start-up, and
  // brings the tree up to date (CKelvoDoc::Refresh; a device gone stays, marked, while the
  // list, the search results or the preview show something of it), then reads the shown
  // folder's rows again. Refused while a job runs (Refresh is disabled then).
  void OnRefresh();
  // Whether a job runs that Refresh must not run beside: a search, a recovery, or any job
  // behind a modal window (a scan, an image copy).
  bool JobRunning() const;
  // Whether the list, the search results or the preview show something of the volume, or
  // the tree's selection lies in it.
  bool ShowsAnythingOf(const CLogicalDriver& volume) const;
  // The status bar's item count of the file list: what it shows of the folder's items.
  QString ItemCountStatus() const;
  void OnSelectAll();
  void OnInvertSelection();
  void OnSearch();
  void OnOpenImage();
  void OnCreateImage();
  // Previews a single selected file no larger than the PreviewLargeFile setting.
  void PreviewIfSmall(CDirEntry* node);
  // The file View With Hex shows: the active list's first selected item, when it is a file
  // that is not empty.
  CFSFile* HexViewTarget() const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QAction* AddCommand(QMenu* menu, int id, const QString& text, const QString& prompt);
  void CreateMenus();
  // Keyboard shortcuts of the commands (after CreateMenus).
  void SetShortcuts();
  void CreateToolBar();
  void CreateDocks();
  void RestoreBars();
  void SaveBars();
  void OnFolderSelected(CDirectory* folder);
  // The disk the tree's selection lies on: a disk's own item, a volume of an image or of a
  // disk (by its source path); null when none.
  const CPhysicalDriver* SelectedDisk();

  CKelvoDoc* m_pDoc;
  CKelvoView* m_pView = nullptr;
  CFoldersTreeDlg* m_pTreePane = nullptr;
  QDockWidget* m_pLeftBar = nullptr;
  QDockWidget* m_pPreviewBar = nullptr;
  QDockWidget* m_pResultBar = nullptr;
  QTabWidget* m_pLeftPages = nullptr;
  CPreviewPane* m_pPreviewPane = nullptr;
  CSearchDlg* m_pSearchPage = nullptr;
  CSearchResultPane* m_pResultPane = nullptr;
  QToolBar* m_pToolBar = nullptr;
  QLabel* m_pMessagePane = nullptr;
  QActionGroup* m_pViewModes = nullptr;
  QHash<int, QAction*> m_actions;
  bool m_bDestroying = false;
};
