#include "ui/DeepScanningDlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "app/Document.h"
#include "device/Driver.h"
#include "app/App.h"
#include "app/LostVolumes.h"
#include "device/LostPartitions.h"
#include "device/PhysicalDriver.h"
#include "tasks/Progress.h"
#include "tree/DirEntry.h"
#include "ui/BusyIndicator.h"
#include "ui/GuiApp.h"
#include "ui/JobSummary.h"
#include "ui/UiText.h"

namespace {
QString CaptionOf(int mode) {
  return mode == 1 ? Tr("IDS_FIND_LOST_DRIVES_TITLE", u"Find Lost Drives...")
                   : Tr("IDS_FIND_LOST_FILES_TITLE", u"Find Lost Files...");
}
}  // namespace

CDeepScanningDlg::CDeepScanningDlg(CDirectory* folder, QWidget* parent)
    : CTaskDialog(true, parent), m_nMode(0), m_pFolder(folder) {
  m_pDevice = folder ? folder->m_pDriver : nullptr;
  // A whole disk's carved files are named from the file systems the document knows on it.
  if (folder && folder->m_pDriver && TheApp().m_pDoc) NameCarvedFilesFromVolumes(*TheApp().m_pDoc, *folder->m_pDriver);
  Build();
}

CDeepScanningDlg::CDeepScanningDlg(CPhysicalDriver* disk, CKelvoDoc* doc, QWidget* parent)
    : CTaskDialog(true, parent), m_nMode(1), m_pDevice(disk), m_pDisk(disk), m_pDoc(doc) {
  m_nVolumesBefore = doc ? doc->Volumes().size() : 0;
  Build();
}

CDeepScanningDlg::~CDeepScanningDlg() { StopThread(); }

void CDeepScanningDlg::Build() {
  setObjectName(QStringLiteral("deepScanningDlg"));
  setWindowTitle(CaptionOf(m_nMode));
  setModal(true);

  m_pAnimation = new CBusyIndicator(this);
  m_pAnimation->setObjectName(QStringLiteral("animation"));
  m_pAnimation->setFixedSize(40, 40);

  auto* heading = new QLabel(Tr("IDS_UI_DEEP_SCAN_OF_THE_CURRENT_DISK", u"Deep scan of the current disk."), this);
  auto* foundLabel = new QLabel(Tr("IDS_UI_FILES_FOUND", u"Files found:"), this);
  m_pFound = new QLabel(QStringLiteral("0"), this);
  m_pFound->setObjectName(QStringLiteral("filesFound"));
  m_pStatus = new QLabel(Tr("IDS_UI_SCANNING", u"Scanning..."), this);
  m_pStatus->setObjectName(QStringLiteral("statusText"));
  m_pUnits = new QLabel(QStringLiteral("/"), this);
  m_pUnits->setObjectName(QStringLiteral("unitCounter"));
  m_pUnits->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_pRate = new QLabel(this);
  m_pRate->setObjectName(QStringLiteral("rateText"));
  m_pBar = new QProgressBar(this);
  m_pBar->setObjectName(QStringLiteral("progressBar"));
  m_pBar->setTextVisible(false);
  m_pBar->setRange(0, 1);
  m_pBar->setValue(0);
  m_pCancel = new QPushButton(Tr("IDS_UI_CANCEL", u"Cancel"), this);
  m_pCancel->setObjectName(QStringLiteral("cancelButton"));
  connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* texts = new QGridLayout;
  texts->addWidget(heading, 0, 0, 1, 2);
  texts->addWidget(foundLabel, 1, 0);
  texts->addWidget(m_pFound, 1, 1);
  texts->setColumnStretch(1, 1);
  texts->setHorizontalSpacing(12);

  auto* top = new QHBoxLayout;
  top->addWidget(m_pAnimation, 0, Qt::AlignTop);
  top->addSpacing(8);
  top->addLayout(texts, 1);

  auto* status = new QHBoxLayout;
  status->addWidget(m_pStatus, 1);
  // Below the bar: percent and bytes, then rate and times, a line each.
  auto* figures = new QVBoxLayout;
  figures->addWidget(m_pUnits);
  figures->addWidget(m_pRate);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_pCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addSpacing(6);
  layout->addLayout(status);
  layout->addWidget(m_pBar);
  layout->addLayout(figures);
  layout->addLayout(buttons);
  setMinimumWidth(420);
}

bool CDeepScanningDlg::OnInitDialog() {
  // The worker's first message waits until this handler has returned (it is delivered on
  // this thread), so the resets below never overwrite it.
  CThreadProcDlg::OnInitDialog();
  setWindowTitle(CaptionOf(m_nMode));
  m_pStatus->clear();
  m_pUnits->clear();
  m_pRate->clear();
  m_pAnimation->Play();
  m_pBar->setValue(0);
  return true;
}

bool CDeepScanningDlg::ThreadStep() {
  if (m_nMode == 0) {
    CLogicalDriver* volume = m_pFolder ? m_pFolder->m_pDriver : nullptr;
    if (!volume) {
      m_bResult = false;
      return true;
    }
    uint64_t found = 0;
    bool result = volume->ScanUnits(this, found, volume->m_pScanJournal.get());
    m_nFound = found;
    // The GUI reads nothing of the folder between BeginFolderChange and EndFolderChange, which
    // bracket this dialog, so the flag is written here.
    if (found > 0) m_pFolder->m_bLoaded = true;
    m_bResult = result;
  } else {
    m_bResult = m_pDisk && m_pDoc && FindLostVolumes(*m_pDisk, *m_pDoc, this);
  }
  return true;
}

void CDeepScanningDlg::ShowFigures(uint64_t unit) {
  // The unit reported is being scanned: the ones before it are done. A deep scan covers
  // [first, last], the lost-volume search [first, last); its last report is last - 1.
  const uint64_t total = m_nMode == 0 ? m_nBarSpan + 1 : m_nBarSpan;
  const uint64_t done = unit >= m_nBarFirst ? std::min(unit - m_nBarFirst + (unit == m_nBarFirst + total - 1), total) : 0;
  const uint32_t unitBytes = m_pDevice && m_pDevice->m_nBytesPerCluster ? m_pDevice->m_nBytesPerCluster : 512;
  const ProgressFigures f = m_clock.Figures(done, total, unitBytes);
  m_pUnits->setText(ProgressPercentText(f));
  m_pRate->setText(ProgressRateText(f));
}

void CDeepScanningDlg::SetBarPosition(uint64_t unit) {
  uint64_t offset = unit > m_nBarFirst ? std::min(unit - m_nBarFirst, m_nBarSpan) : 0;
  m_pBar->setValue(int(offset >> m_nBarShift));
}

int64_t CDeepScanningDlg::OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (message != WM_SCANPROGRESS || !m_pDevice) return 0;
  // The worker waits in its send while this runs, so the device's fields and the folder's
  // children are read safely here.
  const uint64_t first = m_pDevice->m_nFirstUnit;
  const uint64_t last = m_pDevice->m_nLastUnit;
  switch (wParam) {
    case SCAN_STARTED: {
      m_pStatus->setText(Tr("IDS_SCAN_CALCULATING", u"Calculating..."));
      m_clock.Restart();
      m_nBarFirst = first;
      m_nBarSpan = last > first ? last - first : 0;
      m_nBarShift = 0;
      while ((m_nBarSpan >> m_nBarShift) > uint64_t(INT_MAX)) ++m_nBarShift;
      // A range of 0 would turn the bar into a busy indicator.
      m_pBar->setRange(0, std::max(1, int(m_nBarSpan >> m_nBarShift)));
      m_pBar->setValue(0);
      ShowFigures(first);
      break;
    }
    case SCAN_UNITS:
      m_pStatus->setText(Tr("IDS_SCAN_SCANNING", u"Scanning..."));
      m_pBar->setValue(0);
      break;
    case SCAN_POSITION: {
      const uint64_t unit = uint64_t(lParam);
      ShowFigures(unit);
      if (m_nMode == 0 && m_pFolder) m_pFound->setText(QString::number(m_pFolder->m_children.size()));
      SetBarPosition(unit);
      break;
    }
    default:
      break;
  }
  return 0;
}

QMessageBox* CDeepScanningDlg::ShowSummary(QWidget* parent) {
  const bool ended = m_bResult.load();
  const QString title = CaptionOf(m_nMode).remove(QStringLiteral("..."));
  QString stopped;
  if (!ended)
    stopped = Tr("IDS_SUMMARY_STOPPED", u"The scan did not run to its end (it was stopped, or the device failed); "
                                        u"what it found until then is kept.");
  auto join = [](const QString& a, const QString& b) { return a.isEmpty() ? b : b.isEmpty() ? a : a + "\n\n" + b; };
  if (m_nMode == 0) {
    const qulonglong found = m_nFound.load();
    if (found == 0)
      return ShowJobSummary(
          parent, title, Tr("IDS_SUMMARY_NO_FILES", u"No files found."),
          join(stopped, Tr("IDS_SUMMARY_NO_FILES_HINT",
                           u"Try again with more file types checked, or deep scan the whole disk: open its "
                           u"\"LostFiles\" folder under \"Physical Drives\".")));
    const QString folder = m_pFolder ? Q(m_pFolder->m_strName) : QString();
    return ShowJobSummary(
        parent, title,
        TrCount(found, "IDS_SUMMARY_FILES_FOUND_ONE", u"%1 file found.", "IDS_SUMMARY_FILES_FOUND", u"%1 files found."),
        join(stopped, Tr("IDS_SUMMARY_FILES_WHERE",
                         u"They are listed in the \"%1\" folder; select them and choose Recover to save them.")
                          .arg(folder)));
  }
  const QString disk = m_pDisk ? Q(m_pDisk->m_szName) : QString();
  QStringList volumes;
  if (m_pDoc)
    for (size_t i = m_nVolumesBefore; i < m_pDoc->Volumes().size(); ++i) {
      const CLogicalDriver& v = *m_pDoc->Volumes()[i];
      volumes << Tr("IDS_SUMMARY_VOLUME_LINE", u"%1: %2, %3, at sector %4")
                     .arg(Q(v.m_szName), Q(v.GetFileSystemText()), Q(v.GetSizeText()))
                     .arg(qulonglong(v.m_nSectorOffset));
    }
  if (volumes.isEmpty())
    return ShowJobSummary(parent, title, Tr("IDS_SUMMARY_NO_VOLUMES", u"No lost volumes found on %1.").arg(disk),
                          join(stopped, Tr("IDS_SUMMARY_NO_VOLUMES_HINT",
                                           u"Try a wider sector range, or deep scan the disk for lost files.")));
  QString text = TrCount(volumes.size(), "IDS_SUMMARY_VOLUMES_FOUND_ONE", u"%1 lost volume found on %2.",
                         "IDS_SUMMARY_VOLUMES_FOUND", u"%1 lost volumes found on %2.")
                     .arg(disk);
  // A handful is listed in the box itself; a long list goes to its details.
  constexpr int kListedInText = 8;
  const QString where = Tr("IDS_SUMMARY_VOLUMES_WHERE", u"They are listed under \"My Computer\".");
  if (volumes.size() <= kListedInText) return ShowJobSummary(parent, title, text, join(volumes.join('\n'), join(where, stopped)));
  return ShowJobSummary(parent, title, text, join(where, stopped), volumes.join('\n'));
}
