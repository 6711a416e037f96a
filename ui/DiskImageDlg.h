// File > Create Disk Image...: copies a disk or volume into an image file through the
// core's disk imager (tasks/DiskImager.h), with its rescue map, a progress bar and Stop.
// The copy runs on a worker thread; the dialog polls the imager's status. When the copy
// ends with something copied, the image is added to the document as a disk.
#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <memory>
#include <thread>

#include "tasks/DiskImager.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

class CDiskImageDlg : public QDialog {
  Q_OBJECT
 public:
  // sources: the disks and volumes offered (device or image paths); the field takes any
  // other path typed in.
  CDiskImageDlg(const QStringList& sources, QWidget* parent = nullptr);
  ~CDiskImageDlg() override;

  // Whether a copy is running.
  bool Running() const { return m_worker.joinable(); }
  // How the last copy ended (valid once it ended).
  ImagerEnd End() const { return m_end; }
  // The image of the last copy that ended, when anything was copied into it; empty else.
  const QString& FinishedImage() const { return m_strFinishedImage; }

  // Closing while a copy runs stops it (the map is written) and waits for it.
  void reject() override;

 signals:
  // A copy ended with data in the image: the main window adds it as a disk.
  void ImageReady(const QString& path);

 private:
  void OnStart();
  void OnStop();
  void OnBrowse();
  void OnTick();
  void ShowStatus(const ImagerStatus& s);
  void SetRunning(bool running);

  QComboBox* m_pSource;
  QLineEdit* m_pDest;
  QLineEdit* m_pMap;
  QSpinBox* m_pRetries;
  QProgressBar* m_pProgress;
  QLabel* m_pPhase;
  QLabel* m_pCounts;
  QLabel* m_pRate;
  QLabel* m_pResult;
  QPushButton* m_pStart;
  QPushButton* m_pStop;
  QPushButton* m_pClose;
  QPushButton* m_pBrowse;
  QTimer* m_pTimer;

  std::unique_ptr<CDiskImager> m_pImager;
  std::thread m_worker;
  std::atomic<bool> m_bStop{false}, m_bDone{false};
  ImagerEnd m_end = ImagerEnd::Stopped;
  QString m_strFinishedImage;
};
