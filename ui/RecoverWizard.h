// The recovery wizard: page 0 chooses the destination folder (with a history of recent
// destinations and a warning when it lies on the disk being recovered from); page 1 counts
// the selected items' files and saves them on the page runner's worker, with a bar for the
// current file, a bar and a "done/total" counter for all files, and a question before an
// abort. Items that could not be saved completely are listed on page 1 at the end of a run.
#pragma once

#include <QString>
#include <QWizard>
#include <QWizardPage>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tasks/ProgressFigures.h"
#include "ui/TaskRunnerQt.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class CDirEntry;

// Private messages of the saving page, sent by its worker to the page.
enum : uint32_t {
  WM_RECOVER_COUNTING = WM_USER + 504,  // 1528: counting has begun
  WM_RECOVER_COUNTED = WM_USER + 505,   // 1529: m_nTotalFiles is known; saving begins
  WM_RECOVER_FINISHED = WM_USER + 513,  // 1537: the run is over (completed, stopped or failed)
};

// The selected items of the active list, in row order; called on the GUI thread each time a
// run starts.
using RecoverySelection = std::function<std::vector<CDirEntry*>()>;

// Runs the recovery wizard modally. selection is called on the GUI thread each time a run
// starts and answers the nodes of the list's selected rows in row order (the rows' nodes).
int RunRecoveryWizard(QWidget* parent, RecoverySelection selection);

// The destination text as it is saved to: a non-empty text gets a trailing '/'.
QString NormalizeDestination(const QString& text);

// Whether Next must ask before saving to destination: sourceDevice (the device of the volume
// last selected; empty before any selection) is a block device and the destination, or its
// nearest existing parent, lies on the same whole disk.
bool DestinationOnSourceDisk(const QString& destination, const std::string& sourceDevice);
// The test the wizard's Next applies: DestinationOnSourceDisk unless replaced. A machine
// whose folders lie on no block device (a container's overlay) cannot bring the question up
// for real; its tests replace the decision to drive the question's two answers.
std::function<bool(const QString&, const std::string&)>& SameDiskDecision();

// Destination history in the settings file, section [Settings]: "HistoryCombo0" to
// "HistoryCombo9" are the remembered destinations, most recent first; "HistoryCombo" is the
// last destination.
constexpr int kHistoryEntries = 10;

class CFileRecoverStep0 : public QWizardPage {
  Q_OBJECT
 public:
  explicit CFileRecoverStep0(QWidget* parent = nullptr);

  // Next: saves the history, takes the destination, and refuses an empty one or (unless the
  // user agrees) one on the source disk, with a message box each.
  bool validatePage() override;

  // Fills the box from the settings; an empty last destination gives the documents folder.
  void LoadHistory();
  // Writes the history with the box's current text as the most recent entry.
  void SaveHistory();
  // Takes a destination that could not be opened out of the history (and the box), so the
  // next recovery does not offer it again.
  void ForgetDestination(const QString& destination);

  QComboBox* m_comboHistory = nullptr;
  QString m_strDestination;
  // Write quarrow-report.jsonl into the destination (remembered; on by default).
  QCheckBox* m_checkReport = nullptr;

 private slots:
  void OnBrowse();

 private:
  QPushButton* m_btnBrowse = nullptr;
};

class CFileRecoverStep1 : public CTaskPage {
  Q_OBJECT
 public:
  CFileRecoverStep1(CFileRecoverStep0* pStep0, RecoverySelection selection, QWidget* parent = nullptr);
  ~CFileRecoverStep1() override;

  // Activation: shows the destination, takes the selection and starts the worker.
  void initializePage() override;
  void cleanupPage() override {}
  // Finish (and Back, through the wizard) work only when no run is going on.
  bool isComplete() const override;

  // The worker: counts, then saves every selected item; one call does the whole run.
  bool ThreadStep() override;

  // Whether a run is going on (GUI thread).
  bool IsRunning() const { return m_bRunning; }
  // Stops the run and waits for its end (GUI thread); the run still ends with 1537.
  void Abort();

  // Texts of the items that could not be saved completely in the last run, with the reason.
  const QStringList& Problems() const { return m_problemTexts; }

  QString m_strDestination;
  int64_t m_nTotalFiles = 0;
  bool m_bDestinationFailed = false;  // the last run could not open its destination
  // The last run's summary ("N files, M bytes saved to DIR; K could not be saved whole"),
  // shown in large type at the end of the run, and the button that opens the destination in
  // the desktop's file manager (QDesktopServices).
  QLabel* m_labelSummary = nullptr;
  QPushButton* m_btnOpenFolder = nullptr;

 protected:
  int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) override;

 private:
  friend class CRecoverPrompts;
  // The worker's questions and reports, shown on the GUI thread.
  int AskOnGuiThread(const QString& text);
  void ShowRate();
  void ShowSummary();
  void ShowErrorOnGuiThread(const QString& text);

  CFileRecoverStep0* m_pStep0;
  RecoverySelection m_selection;

  QLineEdit* m_editDestination = nullptr;
  QLabel* m_labelStatus = nullptr;
  QLabel* m_labelCounter = nullptr;
  QProgressBar* m_barFile = nullptr;
  QProgressBar* m_barOverall = nullptr;
  QLabel* m_labelProblems = nullptr;
  QListWidget* m_listProblems = nullptr;
  QLabel* m_labelRate = nullptr;  // bytes saved, rate, time since the start, time left

  // Read by the worker; written on the GUI thread before it starts.
  std::vector<CDirEntry*> m_nodes;
  std::string m_strDestinationPath;
  bool m_bWriteReport = true;  // taken from page 0 when the save starts
  // Written by the worker; read on the GUI thread when it reports the end (1537), while
  // it waits for that report.
  std::vector<std::string> m_problems;
  bool m_bStopped = false;
  int64_t m_nWrittenFiles = 0;
  uint64_t m_nWrittenBytes = 0;

  // GUI thread only.
  bool m_bRunning = false;
  int64_t m_nFilesDone = 0;
  int m_nFileShift = 0;  // the file bar counts bytes >> m_nFileShift, so that it fits an int
  uint64_t m_nBytesOfDoneFiles = 0, m_nCurrentFileBytes = 0;
  CProgressClock m_clock;
  QStringList m_problemTexts;
};

class CFileRecoverWizard : public QWizard {
  Q_OBJECT
 public:
  CFileRecoverWizard(RecoverySelection selection, QWidget* parent = nullptr);
  ~CFileRecoverWizard() override;

  CFileRecoverStep0* Step0() const { return m_pStep0; }
  CFileRecoverStep1* Step1() const { return m_pStep1; }

  // Cancel, Escape and the close box: while a run is going on, asks whether to abort it
  // and stays open either way; otherwise closes.
  void reject() override;

 private:
  CFileRecoverStep0* m_pStep0;
  CFileRecoverStep1* m_pStep1;
  bool m_bAsking = false;
};
