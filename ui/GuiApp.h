// The GUI's shared state: the main panes that other windows reach without a direct link,
// the active-list flag, the volume the user last selected, and the notices by which code
// that changes a folder's children tells the lists showing it.
#pragma once

#include <QString>
#include <functional>
#include <string>

class CDirectory;
class CMainFrame;
class CKelvoView;
class CFoldersTreeDlg;
class CLogicalDriver;
class CDirEntry;
class CFSListCtrl;
class QWidget;

// Core texts are UTF-16; Qt takes them as they are.
inline QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
inline std::u16string U(const QString& s) { return s.toStdU16String(); }

struct CGuiApp {
  CMainFrame* m_pMainFrame = nullptr;
  CKelvoView* m_pView = nullptr;
  CFoldersTreeDlg* m_pTreePane = nullptr;
  // The search result list is the list the commands act on.
  bool m_bResultListActive = false;
  // The device path of the volume most recently selected (as a volume item in the tree, or
  // as the device chosen in the welcome wizard); the recovery wizard warns when the
  // destination lies on the same disk. Empty before any selection.
  std::string m_strSourceDevice;
  // The search result pane's list (the other list commands may act on), once it exists.
  CFSListCtrl* m_pResultList = nullptr;
  // Set by the search page: stops a running search and waits for it. The GUI calls it
  // (through StopRunningSearch) before it reads a volume itself, so that the search worker
  // and the GUI thread never use one volume at the same time.
  std::function<void()> m_stopSearch;
  // Set by the preview pane: previews a file (the list's single selected file).
  std::function<void(CDirEntry*)> m_loadPreview;
};

CGuiApp& GuiApp();

// Stops a running search, if any (see m_stopSearch).
void StopRunningSearch();

// Writes TheApp().m_settings to the settings file; a failure is logged, the program goes on
// with the settings in memory.
void SaveSettingsOrWarn();

// The wait cursor for the life of the object (nothing without a QApplication).
class CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;

 private:
  bool m_bSet = false;
};

// Code that empties or refills a folder's children outside the lists (the deep scan, which
// empties the results folder and appends to it on its worker) calls BeginFolderChange
// before touching the children, on the GUI thread, and EndFolderChange when it is done.
// In between, a list showing the folder reads only the items it was told about through
// NotifyFolderGrew, so it never reads the child vector while a worker appends to it.
void BeginFolderChange(CDirectory* folder);
void EndFolderChange(CDirectory* folder);
// Called (on the GUI thread) after children were appended to the folder.
void NotifyFolderGrew(CDirectory* folder);

// The view registers what the three notices do.
struct FolderChangeListener {
  std::function<void(CDirectory*)> begin, end, grew;
};
void SetFolderChangeListener(FolderChangeListener listener);
