// The "Search Result" pane: one file list with the "Path" and "Status" columns that receives
// the hits of a search as the search finds them.
//
// The pane is the result window of the search worker: each hit arrives as WM_SEARCHHIT
// (wParam the running hit counter, lParam the node) through Send, a blocking call onto the
// GUI thread, and is appended to the list there. The list keeps its own vector of the hit
// nodes (the nodes stay owned by their folders).
//
// The list is one of the two lists the commands act on: selecting in it or opening its
// context menu makes it the active list (GuiApp().m_bResultListActive), shows the selection
// count in the status bar and previews a single small file.
#pragma once

#include <QWidget>
#include <atomic>

#include "tasks/Progress.h"

class CDirEntry;
class CFSListCtrl;
class QMenu;

class CSearchResultPane : public QWidget, public IProgressWindow {
  Q_OBJECT
 public:
  explicit CSearchResultPane(QWidget* parent = nullptr);
  // Stops a running search first: the worker holds this pane as its result window.
  ~CSearchResultPane() override;

  CFSListCtrl* List() const { return m_pList; }
  // The menu shown by a right click or the menu key in the list (the main window's list
  // menu: Recover, View With Hex, Select All, Invert Selection, Properties).
  void SetContextMenu(QMenu* menu);

  // Empties the list (the hits of the last search go).
  void Clear();
  // A new search begins: empties the list and announces it (SearchStarted).
  void BeginSearch();

  // IProgressWindow, for the search worker. Send blocks the worker until the hit has been
  // appended on the GUI thread; once the pane is being destroyed nothing reaches it.
  bool IsWindow() const override { return m_bAlive.load(); }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override;

  // Whether the GUI thread is handling one of the worker's sends right now (the worker is
  // then blocked inside Send, waiting for it).
  bool IsAnsweringWorker() const { return m_nAnswering > 0; }

 signals:
  // A search begins: the main window shows the "Search Result" dock.
  void SearchStarted();

 private:
  // A hit, on the GUI thread while the worker waits.
  void OnSearchHit(uint64_t row, CDirEntry* node);
  // The list became the one the commands act on.
  void MakeActive();
  void ShowSelectedCount();

  CFSListCtrl* m_pList;
  std::atomic<bool> m_bAlive{true};
  int m_nAnswering = 0;  // GUI thread only
  bool m_bClearing = false;
};
