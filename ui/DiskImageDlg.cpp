#include "ui/DiskImageDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "tasks/ProgressFigures.h"

namespace {
QString Bytes(uint64_t n) { return QString::fromStdString(FormatByteCount(n)); }
QString Duration(double seconds) { return QString::fromStdString(FormatDuration(seconds)); }

QString PhaseText(const ImagerStatus& s) {
  switch (s.cPhase) {
    case rescue::kNonTried: return QStringLiteral("Copying, pass %1").arg(s.nPass);
    case rescue::kNonTrimmed: return QStringLiteral("Trimming the failed blocks");
    case rescue::kNonScraped: return QStringLiteral("Scraping the failed blocks sector by sector");
    case rescue::kBadSector: return QStringLiteral("Retrying the bad sectors, pass %1").arg(s.nPass);
    default: return QStringLiteral("Finished");
  }
}
}  // namespace

CDiskImageDlg::CDiskImageDlg(const QStringList& sources, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Create Disk Image"));
  setObjectName(QStringLiteral("diskImageDialog"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(QStringLiteral(
      "Copies a disk or volume into an image file, the good areas first; unreadable sectors stay zeros in the "
      "image. The map file records what was copied: give an existing map to continue a copy that was stopped."));
  intro->setWordWrap(true);
  layout->addWidget(intro);

  auto* form = new QFormLayout;
  m_pSource = new QComboBox;
  m_pSource->setObjectName(QStringLiteral("source"));
  m_pSource->setEditable(true);
  m_pSource->addItems(sources);
  form->addRow(QStringLiteral("&Source disk or volume:"), m_pSource);
  auto* destRow = new QHBoxLayout;
  m_pDest = new QLineEdit;
  m_pDest->setObjectName(QStringLiteral("dest"));
  m_pBrowse = new QPushButton(QStringLiteral("&Browse..."));
  destRow->addWidget(m_pDest);
  destRow->addWidget(m_pBrowse);
  form->addRow(QStringLiteral("Image file:"), destRow);
  m_pMap = new QLineEdit;
  m_pMap->setObjectName(QStringLiteral("map"));
  m_pMap->setPlaceholderText(QStringLiteral("the image file's name + .map"));
  form->addRow(QStringLiteral("&Map file:"), m_pMap);
  m_pRetries = new QSpinBox;
  m_pRetries->setObjectName(QStringLiteral("retries"));
  m_pRetries->setRange(0, 100);
  m_pRetries->setValue(1);
  form->addRow(QStringLiteral("&Retry passes over bad sectors:"), m_pRetries);
  layout->addLayout(form);

  m_pProgress = new QProgressBar;
  m_pProgress->setObjectName(QStringLiteral("progress"));
  m_pProgress->setRange(0, 1000);
  m_pProgress->setValue(0);
  layout->addWidget(m_pProgress);
  m_pPhase = new QLabel;
  m_pCounts = new QLabel;
  m_pCounts->setObjectName(QStringLiteral("counts"));
  m_pRate = new QLabel;
  m_pResult = new QLabel;
  m_pResult->setObjectName(QStringLiteral("result"));
  m_pResult->setWordWrap(true);
  m_pResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
  for (QLabel* l : {m_pPhase, m_pCounts, m_pRate, m_pResult}) layout->addWidget(l);

  auto* buttons = new QDialogButtonBox;
  m_pStart = buttons->addButton(QStringLiteral("&Start"), QDialogButtonBox::ActionRole);
  m_pStart->setObjectName(QStringLiteral("start"));
  m_pStop = buttons->addButton(QStringLiteral("S&top"), QDialogButtonBox::ActionRole);
  m_pStop->setObjectName(QStringLiteral("stop"));
  m_pClose = buttons->addButton(QDialogButtonBox::Close);
  layout->addWidget(buttons);

  m_pTimer = new QTimer(this);
  m_pTimer->setInterval(200);
  connect(m_pTimer, &QTimer::timeout, this, &CDiskImageDlg::OnTick);
  connect(m_pStart, &QPushButton::clicked, this, &CDiskImageDlg::OnStart);
  connect(m_pStop, &QPushButton::clicked, this, &CDiskImageDlg::OnStop);
  connect(m_pClose, &QPushButton::clicked, this, &CDiskImageDlg::reject);
  connect(m_pBrowse, &QPushButton::clicked, this, &CDiskImageDlg::OnBrowse);
  SetRunning(false);
  resize(560, sizeHint().height());
}

CDiskImageDlg::~CDiskImageDlg() {
  m_bStop = true;
  if (m_worker.joinable()) m_worker.join();
}

void CDiskImageDlg::SetRunning(bool running) {
  m_pStart->setEnabled(!running);
  m_pStop->setEnabled(running);
  for (QWidget* w : std::initializer_list<QWidget*>{m_pSource, m_pDest, m_pMap, m_pRetries, m_pBrowse})
    w->setEnabled(!running);
}

void CDiskImageDlg::OnBrowse() {
  // The imager never overwrites: an existing file is refused when the copy starts.
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Image File"), m_pDest->text(),
                                                    QStringLiteral("Disk images (*.img);;All files (*)"), nullptr,
                                                    QFileDialog::DontConfirmOverwrite);
  if (!path.isEmpty()) m_pDest->setText(path);
}

void CDiskImageDlg::OnStart() {
  const std::string source = m_pSource->currentText().trimmed().toStdString();
  ImagerOptions options;
  options.strDest = m_pDest->text().trimmed().toStdString();
  options.strMap = m_pMap->text().trimmed().toStdString();
  options.nRetries = m_pRetries->value();
  std::string error;
  DeviceHandle device = source.empty() ? nullptr : CRawDevice::OpenPath(source, &error, false);
  if (!device) {
    QMessageBox::warning(this, windowTitle(),
                         error.empty() ? QStringLiteral("Choose the disk or volume to copy.") : QString::fromStdString(error));
    return;
  }
  auto imager = std::make_unique<CDiskImager>(device, options);
  if (!imager->Open(&error)) {
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
    return;
  }
  m_pImager = std::move(imager);
  m_bStop = false;
  m_bDone = false;
  m_strFinishedImage.clear();
  m_pResult->setText(m_pImager->Continued() ? QStringLiteral("Continuing the copy recorded in %1.")
                                                  .arg(QString::fromStdString(m_pImager->MapPath()))
                                            : QString());
  SetRunning(true);
  m_worker = std::thread([this] {
    m_end = m_pImager->Run([this] { return m_bStop.load(); });
    m_bDone = true;
  });
  m_pTimer->start();
}

void CDiskImageDlg::OnStop() {
  m_bStop = true;
  m_pStop->setEnabled(false);
  m_pPhase->setText(QStringLiteral("Stopping after the current read..."));
}

void CDiskImageDlg::ShowStatus(const ImagerStatus& s) {
  const uint64_t done = s.nRescued + s.nBad;
  m_pProgress->setValue(s.nDomainBytes ? int(double(done) / double(s.nDomainBytes) * 1000) : 0);
  m_pPhase->setText(PhaseText(s));
  m_pCounts->setText(QStringLiteral("Read %1, rescued %2 of %3, bad %4 in %5 area(s), %6 read error(s)")
                         .arg(Bytes(s.nReadBytes), Bytes(s.nRescued), Bytes(s.nDomainBytes), Bytes(s.nBad))
                         .arg(s.nBadAreas)
                         .arg(s.nReadErrors));
  m_pRate->setText(QStringLiteral("%1/s, elapsed %2, time left %3")
                       .arg(Bytes(uint64_t(s.dRate)), Duration(s.dSeconds), Duration(s.dSecondsLeft)));
}

void CDiskImageDlg::OnTick() {
  if (!m_pImager) return;
  ShowStatus(m_pImager->Status());
  if (!m_bDone) return;
  m_pTimer->stop();
  if (m_worker.joinable()) m_worker.join();
  const ImagerStatus s = m_pImager->Status();
  ShowStatus(s);
  SetRunning(false);
  const QString dest = QString::fromStdString(m_pImager->DestPath());
  const QString map = QString::fromStdString(m_pImager->MapPath());
  QString text;
  switch (m_end) {
    case ImagerEnd::Finished: text = QStringLiteral("Done: every sector was copied into %1.").arg(dest); break;
    case ImagerEnd::BadSectors:
      text = QStringLiteral("Done. %1 could not be read: those sectors are zeros in the image, and the map %2 "
                            "lists them. Start again with the same map to retry them.")
                 .arg(Bytes(s.nBad + s.nNonTried + s.nNonTrimmed + s.nNonScraped), map);
      break;
    case ImagerEnd::Stopped:
      text = QStringLiteral("Stopped. Start again with the map %1 to continue where the copy stopped.").arg(map);
      break;
    case ImagerEnd::SourceGone:
    case ImagerEnd::WriteFailed:
      text = QString::fromStdString(m_pImager->Problem()) +
             QStringLiteral("\nWhat was copied stays in %1; start again with the map %2 to continue.").arg(dest, map);
      break;
  }
  m_pResult->setText(text);
  if (s.nRescued > 0 && (m_end == ImagerEnd::Finished || m_end == ImagerEnd::BadSectors)) {
    m_strFinishedImage = dest;
    emit ImageReady(dest);
  }
}

void CDiskImageDlg::reject() {
  if (Running()) {
    // Closing stops the copy; the map is written before the worker ends.
    m_bStop = true;
    m_worker.join();
    m_bDone = true;
    OnTick();
  }
  QDialog::reject();
}
