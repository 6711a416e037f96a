// The modal dialog that reads an NTFS volume's whole MFT into memory ("Scanning..."), the
// first time a folder of the volume is listed or asked for subfolders.
//
// The dialog runs one work step on the dialog runner's worker: the volume's ScanMft with the
// dialog as its progress window. ScanMft sends WM_SCANPROGRESS (wParam 2, lParam = MFT
// clusters read so far) every 32 of its chunks and polls the runner's stop event between
// chunks; the dialog closes itself when the worker ends. Whether the MFT is in memory
// is read from the volume's m_bMftLoaded afterwards: Cancel stops the scan, which then leaves
// m_bMftLoaded false and no index, so the next folder opening starts it again from the start.
#pragma once

#include <cstdint>

#include "ui/TaskRunnerQt.h"

class CNTFSDriver;
class CBusyIndicator;
class QLabel;
class QProgressBar;
class QPushButton;

class CNTFSMFTScanningDlg : public CTaskDialog {
  Q_OBJECT
 public:
  explicit CNTFSMFTScanningDlg(CNTFSDriver* volume, QWidget* parent = nullptr);
  ~CNTFSMFTScanningDlg() override;

  // Opening: resets the progress to 0 of the MFT's clusters and starts the animation; the
  // worker starts right after, unless the dialog was closed first.
  bool OnInitDialog() override;
  // Reads the whole MFT (or stops at the runner's stop event); one step is the whole work.
  bool ThreadStep() override;

  // Clusters the scan reads: the MFT's data size rounded up to whole clusters, as ScanMft
  // counts them.
  static uint64_t MftClusters(const CNTFSDriver& volume);

 protected:
  int64_t OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) override;

 private:
  void ShowProgress(uint64_t done);

  CNTFSDriver* m_pVolume;
  uint64_t m_nTotal = 0;
  // The bar's int range holds total >> m_nBarShift, so MFTs beyond 2^31 clusters still fit.
  int m_nBarShift = 0;
  CBusyIndicator* m_pAnimation = nullptr;
  QLabel* m_pName = nullptr;
  QLabel* m_pCount = nullptr;
  QProgressBar* m_pBar = nullptr;
  QPushButton* m_pCancel = nullptr;
};

// Reads the volume's MFT behind the modal scanning dialog; nothing when it is already in
// memory. The main window installs it as the NTFS volumes' MFT scan hook. Called off the GUI
// thread (a search or a save that reaches an NTFS folder on its worker), no window can be
// shown there: the MFT is then read without a dialog on that thread, still stopping when the
// dialog runner's stop event is signalled.
void RunMftScanDialog(CNTFSDriver* volume, QWidget* parent = nullptr);
