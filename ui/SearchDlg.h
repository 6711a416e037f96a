// The "Search" page of the left pane: the criteria of a search (name pattern, match case,
// subfolders, the folder to look in, a size filter in kilobytes and a date filter) and the
// Search button, which starts the search on the dialog runner's worker and, while the
// search runs, reads "Cancel" and stops it.
//
// The page is a task dialog shown as a plain child widget (never modal) whose worker does
// not start by itself. One work step is the whole search: it loads the folders the search
// will enter, then runs the folder model's Search with the result pane as the result
// window; each hit reaches the pane as WM_SEARCHHIT while the worker waits. At the end the
// step sends WM_STATUSTEXT (completed searches only: "Found N items" in the status
// bar) and WM_SEARCHDONE (the button reads "Search" again).
//
// Exclusion: the worker reads the volume being searched (its folders are loaded on demand)
// while the user interface stays usable. The two never use a volume at the same time: any
// GUI action that reads a volume first calls StopRunningSearch() (GuiApp().m_stopSearch,
// set by this page), which stops the search and waits for the worker to end. The hits are
// handled while the worker waits for them, so what the pane does with a hit never overlaps
// the worker either.
//
// The runner is class-wide: starting any other dialog-runner task (a deep scan, an MFT
// scan) stops a running search; the search step still ends with WM_SEARCHDONE, so the
// button reads "Search" again.
#pragma once

#include <QPointer>
#include <QString>
#include <atomic>
#include <cstdint>

#include "tree/DirEntry.h"
#include "ui/TaskRunnerQt.h"

class CKelvoDoc;
class CSearchResultPane;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLineEdit;
class QPushButton;

// Private messages of the search step.
enum : uint32_t {
  WM_SEARCHDONE = WM_USER + 502,  // 1526: the step has ended; wParam 1 when the search completed, lParam the hits
  WM_STATUSTEXT = WM_USER + 503,  // 1527: a completed search's hit count (wParam) for the status bar
};

class CSearchDlg : public CTaskDialog {
  Q_OBJECT
 public:
  // Fills "Look in:" with the root folders of the document's volumes and installs the
  // search stop of the exclusion rule (GuiApp().m_stopSearch). results may be null: a
  // search then finds nothing.
  CSearchDlg(CKelvoDoc* doc, CSearchResultPane* results, QWidget* parent = nullptr);
  ~CSearchDlg() override;

  // The whole search, on the worker thread.
  bool ThreadStep() override;

  // The Search button: starts a search, or stops the one running.
  void OnSearchButton();
  // Stops a running search and waits for its worker to end; nothing when none runs (and
  // nothing off the GUI thread). Safe from anywhere on the GUI thread, also from inside a
  // wait for a worker. Called while the GUI thread answers one of the search worker's own
  // sends (the worker is then blocked until the answer), it only asks the search to stop:
  // it ends at its next poll.
  void StopSearch();
  // Whether a search of this page is running, as the GUI sees it (the button reads "Cancel").
  bool IsRunning() const { return m_bRunning; }
  // Whether the worker is inside the search step.
  bool IsSearching() const { return m_bSearching.load(); }

  // The folder of the selected "Look in:" entry, or null.
  CDirectory* LookInFolder() const;
  // Brings the volume entries of "Look in:" up to the document's volumes: entries of volumes
  // it no longer lists go, new volumes are added, a disconnected volume reads so.
  void SyncVolumes();
  // Reads the controls into the fields below.
  void ReadFields();

  // Escape does not close the page.
  void reject() override {}

  // The criteria, as the controls last gave them (ReadFields).
  bool m_bMatchCase = false;
  QString m_strPattern;
  bool m_bSubfolders = false;
  bool m_bSizeFilter = false;
  bool m_bDateFilter = false;
  uint32_t m_nSizeHigh = 0;  // kilobytes
  uint32_t m_nSizeLow = 0;   // kilobytes
  int64_t m_tDateLow = 0;    // seconds since 1970; the time of construction at first
  int64_t m_tDateHigh = 0;
  int m_nDateKind = -1;      // 0 creation time, 1 modification time

 public slots:
  // The tree's selection (null for "My Computer" and "Physical Drivers"): a volume selects
  // its own entry of "Look in:", any other folder is added as the last entry and selected
  // (replacing a folder added before), a top item selects the first entry.
  void OnTreeFolderSelected(CDirectory* folder);

 signals:
  // A search step has ended (completed, or stopped with the hits found so far).
  void SearchFinished(bool completed, int hits);

 protected:
  int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) override;
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateFilterControls();
  void SetIdle();

  CKelvoDoc* m_pDoc;
  QPointer<CSearchResultPane> m_pResults;
  int m_nVolumeEntries = 0;  // the first entries of "Look in:" are the volumes' roots

  QComboBox* m_pLookIn = nullptr;
  QLineEdit* m_pPattern = nullptr;
  QPushButton* m_pSearch = nullptr;
  QCheckBox* m_pMatchCase = nullptr;
  QCheckBox* m_pSubfolders = nullptr;
  QCheckBox* m_pSizeFilter = nullptr;
  QLineEdit* m_pSizeLow = nullptr;
  QLineEdit* m_pSizeHigh = nullptr;
  QCheckBox* m_pDateFilter = nullptr;
  QComboBox* m_pDateKind = nullptr;
  QDateTimeEdit* m_pDateLow = nullptr;
  QDateTimeEdit* m_pDateHigh = nullptr;

  // GUI thread only.
  bool m_bRunning = false;
  int m_nAnswering = 0;  // depth of the worker's sends being answered

  // Written on the GUI thread before the worker starts; read by the worker.
  SearchCriteria m_criteria;
  CDirectory* m_pSearchRoot = nullptr;
  IProgressWindow* m_pResultWindow = nullptr;

  // Written by the worker.
  std::atomic<bool> m_bSearching{false};
  std::atomic<bool> m_bStepBegan{false};
};
