// The progress dialog of a deep scan ("Find Lost Files...", mode 0: the unit scan of a
// results folder's volume) and of the lost-volume search ("Find Lost Drives...", mode 1:
// FindLostVolumes on a disk).
//
// One work step on the dialog runner's worker does the whole scan; the dialog closes itself
// when the worker ends. The scan reports WM_SCANPROGRESS: 0 when it starts (the range comes
// from the device's m_nFirstUnit and m_nLastUnit), 1 when units are being scanned, 2 with the
// current unit. Cancel only ends the dialog; its destruction stops the worker and waits for
// it. Whatever was found until then stays: carved files in the results folder, volumes in the
// document.
#pragma once

#include <atomic>
#include <cstdint>

#include "tasks/ProgressFigures.h"
#include "ui/TaskRunnerQt.h"

class CBusyIndicator;
class CDirectory;
class CDriver;
class CKelvoDoc;
class CPhysicalDriver;
class QLabel;
class QProgressBar;
class QPushButton;

class CDeepScanningDlg : public CTaskDialog {
  Q_OBJECT
 public:
  // Mode 0: the deep scan of folder's volume into folder (a volume's results folder).
  CDeepScanningDlg(CDirectory* folder, QWidget* parent = nullptr);
  // Mode 1: the search of disk's range [m_nFirstUnit, m_nLastUnit) for lost volumes, which
  // are appended to doc.
  CDeepScanningDlg(CPhysicalDriver* disk, CKelvoDoc* doc, QWidget* parent = nullptr);
  ~CDeepScanningDlg() override;

  // Opening: starts the worker, sets the caption, clears the status and unit texts, plays
  // the animation and sets the bar to 0.
  bool OnInitDialog() override;
  // The whole scan; always answers true (done). Mode 0 marks the folder loaded when it found
  // something.
  bool ThreadStep() override;
  // Cancel ends the dialog at once; the destructor stops the worker.
  void OnCancel() override { PlainCancel(); }

  int m_nMode;
  // The scan's result, stored by the work step (mode 0: ScanUnits completed; mode 1: the
  // search completed). False until the step has ended.
  std::atomic<bool> m_bResult{false};
  // Mode 0: the files the scan counted as found, stored by the work step.
  std::atomic<uint64_t> m_nFound{0};

  // After exec(): shows the job's summary (ShowJobSummary): mode 0 the files found or "No
  // files found" with a hint, mode 1 the volumes found on the disk, each listed, or none;
  // a scan that did not run to its end says so. Answers the box.
  class QMessageBox* ShowSummary(QWidget* parent);

  // The parts of the dialog (public for the tests).
  QLabel* m_pFound = nullptr;     // files-found counter
  QLabel* m_pUnits = nullptr;     // percent and bytes: "42% (1.2 GiB of 3.0 GiB)"
  QLabel* m_pRate = nullptr;      // rate, time since the start and time left
  QLabel* m_pStatus = nullptr;    // "Calculating..." / "Scanning..."
  CBusyIndicator* m_pAnimation = nullptr;
  QProgressBar* m_pBar = nullptr;
  QPushButton* m_pCancel = nullptr;

 protected:
  int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) override;

 private:
  void Build();
  void SetBarPosition(uint64_t unit);
  // The percent, bytes, rate and times for unit, the last unit reported.
  void ShowFigures(uint64_t unit);

  CDirectory* m_pFolder = nullptr;   // mode 0, not owned
  CDriver* m_pDevice = nullptr;      // mode 0: the folder's volume; mode 1: the disk; not owned
  CPhysicalDriver* m_pDisk = nullptr;
  CKelvoDoc* m_pDoc = nullptr;
  // The unit range shown by the bar: its int range holds (last - first) >> m_nBarShift, so
  // devices of more than 2^31 units still fit.
  uint64_t m_nBarFirst = 0;
  uint64_t m_nBarSpan = 0;
  int m_nBarShift = 0;
  CProgressClock m_clock;         // restarted when the scan starts
  size_t m_nVolumesBefore = 0;    // mode 1: the document's volumes before the search
};
