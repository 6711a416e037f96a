#include "ui/NtfsScanDlg.h"
#include "ui/UiText.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "ntfs/NTFSDriver.h"
#include "tasks/Progress.h"
#include "ui/BusyIndicator.h"
#include "ui/GuiApp.h"

CNTFSMFTScanningDlg::CNTFSMFTScanningDlg(CNTFSDriver* volume, QWidget* parent)
    : CTaskDialog(true, parent), m_pVolume(volume) {
  setWindowTitle(Tr("IDS_UI_SCANNING", u"Scanning..."));
  setModal(true);

  m_pAnimation = new CBusyIndicator(this);
  m_pAnimation->setObjectName(QStringLiteral("animation"));
  m_pAnimation->setFixedSize(40, 40);

  auto* caption = new QLabel(Tr("IDS_UI_SCAN_NTFS_VOLUME", u"Scan NTFS Volume"), this);
  // A volume's display name may be a long image path: its middle gives way.
  const QString name = m_pVolume ? Q(m_pVolume->m_szName) : QString();
  m_pName = new QLabel(this);
  m_pName->setObjectName(QStringLiteral("volumeName"));
  m_pName->setText(m_pName->fontMetrics().elidedText(name, Qt::ElideMiddle, 320));
  m_pName->setToolTip(name);
  auto* scanning = new QLabel(Tr("IDS_UI_SCANNING", u"Scanning..."), this);
  m_pCount = new QLabel(QStringLiteral("/"), this);
  m_pCount->setObjectName(QStringLiteral("progressText"));
  m_pBar = new QProgressBar(this);
  m_pBar->setObjectName(QStringLiteral("progressBar"));
  m_pBar->setTextVisible(false);
  m_pCancel = new QPushButton(Tr("IDS_UI_CANCEL", u"Cancel"), this);
  m_pCancel->setObjectName(QStringLiteral("cancelButton"));
  connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* texts = new QGridLayout;
  texts->addWidget(caption, 0, 0);
  texts->addWidget(m_pName, 0, 1);
  texts->addWidget(scanning, 1, 0);
  texts->addWidget(m_pCount, 1, 1);
  texts->setColumnStretch(1, 1);
  texts->setHorizontalSpacing(12);

  auto* top = new QHBoxLayout;
  top->addWidget(m_pAnimation, 0, Qt::AlignTop);
  top->addSpacing(8);
  top->addLayout(texts, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(m_pCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(m_pBar);
  layout->addLayout(buttons);
  setMinimumWidth(450);

  m_nTotal = m_pVolume ? MftClusters(*m_pVolume) : 0;
  while (m_nBarShift < 63 && (m_nTotal >> m_nBarShift) > uint64_t(INT_MAX)) ++m_nBarShift;
}

CNTFSMFTScanningDlg::~CNTFSMFTScanningDlg() { StopThread(); }

uint64_t CNTFSMFTScanningDlg::MftClusters(const CNTFSDriver& volume) {
  const uint64_t bpc = volume.m_nBytesPerCluster;
  return bpc ? volume.m_nMftBytes / bpc + (volume.m_nMftBytes % bpc != 0) : 0;
}

bool CNTFSMFTScanningDlg::OnInitDialog() {
  m_pBar->setRange(0, int(m_nTotal >> m_nBarShift));
  ShowProgress(0);
  m_pAnimation->Play();
  // The worker starts once the opening has been handled, so a Cancel already waiting is
  // honoured before anything is read; a dialog closed by then starts none.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (isVisible()) CThreadProcDlg::OnInitDialog();
      },
      Qt::QueuedConnection);
  return true;
}

bool CNTFSMFTScanningDlg::ThreadStep() {
  // A stopped scan leaves m_bMftLoaded false; the caller reads the outcome from there.
  if (m_pVolume) m_pVolume->ScanMft(this);
  return true;
}

int64_t CNTFSMFTScanningDlg::OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (message == WM_SCANPROGRESS && wParam == SCAN_POSITION) ShowProgress(uint64_t(std::max<int64_t>(lParam, 0)));
  return 0;
}

void CNTFSMFTScanningDlg::ShowProgress(uint64_t done) {
  done = std::min(done, m_nTotal);
  m_pCount->setText(QStringLiteral("%1/%2").arg(done).arg(m_nTotal));
  m_pBar->setValue(int(done >> m_nBarShift));
}

// ---------------------------------------------------------------------------

namespace {
// The progress window of a scan run without a dialog: it shows nothing, but being given
// one makes ScanMft poll the dialog runner's stop event, so the worker that needed the MFT
// is still stopped by its own Cancel.
class CNoWindow : public IProgressWindow {
 public:
  bool IsWindow() const override { return false; }
  int64_t Send(uint32_t, uint64_t, int64_t) override { return 0; }
};
}  // namespace

void RunMftScanDialog(CNTFSDriver* volume, QWidget* parent) {
  if (!volume || volume->m_bMftLoaded) return;
  if (!qApp || QThread::currentThread() != qApp->thread()) {
    // Widgets live on the GUI thread only, and the dialog runner's single worker may be the
    // very thread asking (a search): starting another would wait for this one.
    CNoWindow none;
    volume->ScanMft(&none);
    return;
  }
  CNTFSMFTScanningDlg dialog(volume, parent);
  dialog.exec();
}
