#include "ui/DiskImageDlg.h"
#include "ui/UiText.h"

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
    case rescue::kNonTried: return Tr("IDS_UI_COPYING_PASS_1", u"Copying, pass %1").arg(s.nPass);
    case rescue::kNonTrimmed: return Tr("IDS_UI_TRIMMING_THE_FAILED_BLOCKS", u"Trimming the failed blocks");
    case rescue::kNonScraped: return Tr("IDS_UI_SCRAPING_THE_FAILED_BLOCKS_SECTOR_BY", u"Scraping the failed blocks sector by sector");
    case rescue::kBadSector: return Tr("IDS_UI_RETRYING_THE_BAD_SECTORS_PASS_1", u"Retrying the bad sectors, pass %1").arg(s.nPass);
    default: return Tr("IDS_UI_FINISHED", u"Finished");
  }
}
}  // namespace

CDiskImageDlg::CDiskImageDlg(const QStringList& sources, QWidget* parent) : QDialog(parent) {
  setWindowTitle(Tr("IDS_UI_CREATE_DISK_IMAGE", u"Create Disk Image"));
  setObjectName(QStringLiteral("diskImageDialog"));
  auto* layout = new QVBoxLayout(this);
  auto* intro = new QLabel(Tr("IDS_UI_COPIES_A_DISK_OR_VOLUME_INTO", u"Copies a disk or volume into an image file, the good areas first; unreadable sectors stay zeros in the "
      u"image. The map file records what was copied: give an existing map to continue a copy that was stopped."));
  intro->setWordWrap(true);
  layout->addWidget(intro);

  auto* form = new QFormLayout;
  m_pSource = new QComboBox;
  m_pSource->setObjectName(QStringLiteral("source"));
  m_pSource->setEditable(true);
  m_pSource->addItems(sources);
  form->addRow(Tr("IDS_UI_SOURCE_DISK_OR_VOLUME", u"&Source disk or volume:"), m_pSource);
  auto* destRow = new QHBoxLayout;
  m_pDest = new QLineEdit;
  m_pDest->setObjectName(QStringLiteral("dest"));
  m_pBrowse = new QPushButton(Tr("IDS_UI_BROWSE", u"&Browse..."));
  destRow->addWidget(m_pDest);
  destRow->addWidget(m_pBrowse);
  form->addRow(Tr("IDS_UI_IMAGE_FILE", u"Image file:"), destRow);
  m_pMap = new QLineEdit;
  m_pMap->setObjectName(QStringLiteral("map"));
  m_pMap->setPlaceholderText(Tr("IDS_UI_THE_IMAGE_FILE_S_NAME_MAP", u"the image file's name + .map"));
  form->addRow(Tr("IDS_UI_MAP_FILE", u"&Map file:"), m_pMap);
  m_pRetries = new QSpinBox;
  m_pRetries->setObjectName(QStringLiteral("retries"));
  m_pRetries->setRange(0, 100);
  m_pRetries->setValue(1);
  form->addRow(Tr("IDS_UI_RETRY_PASSES_OVER_BAD_SECTORS", u"&Retry passes over bad sectors:"), m_pRetries);
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
  m_pStart = buttons->addButton(Tr("IDS_UI_START", u"&Start"), QDialogButtonBox::ActionRole);
  m_pStart->setObjectName(QStringLiteral("start"));
  m_pStop = buttons->addButton(Tr("IDS_UI_S_TOP", u"S&top"), QDialogButtonBox::ActionRole);
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
  const QString path = QFileDialog::getSaveFileName(this, Tr("IDS_UI_IMAGE_FILE_2", u"Image File"), m_pDest->text(),
                                                    Tr("IDS_UI_DISK_IMAGES_IMG_ALL_FILES", u"Disk images (*.img);;All files (*)"), nullptr,
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
                         error.empty() ? Tr("IDS_UI_CHOOSE_THE_DISK_OR_VOLUME_TO", u"Choose the disk or volume to copy.") : QString::fromStdString(error));
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
  m_pResult->setText(m_pImager->Continued() ? Tr("IDS_UI_CONTINUING_THE_COPY_RECORDED_IN_1", u"Continuing the copy recorded in %1.")
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
  m_pPhase->setText(Tr("IDS_UI_STOPPING_AFTER_THE_CURRENT_READ", u"Stopping after the current read..."));
}

void CDiskImageDlg::ShowStatus(const ImagerStatus& s) {
  const uint64_t done = s.nRescued + s.nBad;
  m_pProgress->setValue(s.nDomainBytes ? int(double(done) / double(s.nDomainBytes) * 1000) : 0);
  m_pPhase->setText(PhaseText(s));
  m_pCounts->setText(Tr("IDS_UI_READ_1_RESCUED_2_OF_3", u"Read %1, rescued %2 of %3, bad %4 in %5 area(s), %6 read error(s)")
                         .arg(Bytes(s.nReadBytes), Bytes(s.nRescued), Bytes(s.nDomainBytes), Bytes(s.nBad))
                         .arg(s.nBadAreas)
                         .arg(s.nReadErrors));
  m_pRate->setText(Tr("IDS_UI_1_S_ELAPSED_2_TIME_LEFT", u"%1/s, elapsed %2, time left %3")
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
    case ImagerEnd::Finished: text = Tr("IDS_UI_DONE_EVERY_SECTOR_WAS_COPIED_INTO", u"Done: every sector was copied into %1.").arg(dest); break;
    case ImagerEnd::BadSectors:
      text = Tr("IDS_UI_DONE_1_COULD_NOT_BE_READ", u"Done. %1 could not be read: those sectors are zeros in the image, and the map %2 "
                            u"lists them. Start again with the same map to retry them.")
                 .arg(Bytes(s.nBad + s.nNonTried + s.nNonTrimmed + s.nNonScraped), map);
      break;
    case ImagerEnd::Stopped:
      text = Tr("IDS_UI_STOPPED_START_AGAIN_WITH_THE_MAP", u"Stopped. Start again with the map %1 to continue where the copy stopped.").arg(map);
      break;
    case ImagerEnd::SourceGone:
    case ImagerEnd::WriteFailed:
      text = QString::fromStdString(m_pImager->Problem()) +
             Tr("IDS_UI_WHAT_WAS_COPIED_STAYS_IN_1", u"\nWhat was copied stays in %1; start again with the map %2 to continue.").arg(dest, map);
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
