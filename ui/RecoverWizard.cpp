#include "ui/RecoverWizard.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QUrl>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/Language.h"
#include "settings/Settings.h"
#include "platform/Profile.h"
#include "platform/SameDisk.h"
#include "tasks/StopEvents.h"
#include "tree/DirEntry.h"
#include "tasks/RecoveryRun.h"
#include "tree/Save.h"
#include "tree/SaveReport.h"

#include <nlohmann/json.hpp>
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/UiText.h"

namespace {
const QString kAppTitle = QStringLiteral("Tarnwell Quarrow");
const char* const kSection = "Settings";
const char* const kHistoryKey = "HistoryCombo";
const char* const kReportKey = "RecoveryReport";
const char* const kReportFileName = "quarrow-report.jsonl";

// Answers of the save prompts as they cross from the GUI thread to the worker; 0 is a call
// that was dropped because the page went away.
enum : int {
  ANSWER_DROPPED = 0,
  ANSWER_YES = 1,
  ANSWER_NO = 2,
  ANSWER_YES_TO_ALL = 3,
  ANSWER_NO_TO_ALL = 4,
  ANSWER_KEEP_BOTH = 5
};

// The first "%s" of a language text replaced by arg.
QString FillIn(QString text, const QString& arg) {
  int at = text.indexOf(QStringLiteral("%s"));
  if (at >= 0) text.replace(at, 2, arg);
  return text;
}

}  // namespace

// The save's questions and error reports for the saving page. Runs on the worker; the
// questions are shown on the GUI thread while the worker waits for the answer.
class CRecoverPrompts final : public ISavePrompts {
 public:
  explicit CRecoverPrompts(CFileRecoverStep1* pPage) : m_pPage(pPage) {}
  SaveAnswer AskOverwriteFile(const std::u16string& name) override {
    QString text = FillIn(Q(GetString("IDS_FILE_OVERWRITE", u"This folder already contains a file called '%s'."
                                                            u"\nWould you like to replace the existing file?")),
                          Q(name));
    return ToAnswer(m_pPage->AskOnGuiThread(text));
  }
  SaveAnswer AskReplaceFolder(const std::u16string& name) override {
    QString text = FillIn(Tr("IDS_UI_THIS_FOLDER_ALREADY_CONTAINS_A_FOLDER", u"This folder already contains a folder called '%s'.\nIf files in the "
                                         u"existing folder have the same names as files you are saving,\ndo you want "
                                         u"to replace the existing files?"),
                          Q(name));
    return ToAnswer(m_pPage->AskOnGuiThread(text));
  }
  void ReportError(const std::string& message) override { m_pPage->m_problems.push_back(message); }

 private:
  static SaveAnswer ToAnswer(int answer) {
    switch (answer) {
      case ANSWER_YES: return SaveAnswer::Yes;
      case ANSWER_YES_TO_ALL: return SaveAnswer::YesToAll;
      case ANSWER_NO_TO_ALL: return SaveAnswer::NoToAll;
      case ANSWER_KEEP_BOTH: return SaveAnswer::KeepBoth;
      default: return SaveAnswer::No;
    }
  }
  CFileRecoverStep1* m_pPage;
};

QString NormalizeDestination(const QString& text) {
  if (text.isEmpty() || text.endsWith(QLatin1Char('/'))) return text;
  return text + QLatin1Char('/');
}

bool DestinationOnSourceDisk(const QString& destination, const std::string& sourceDevice) {
  if (destination.isEmpty() || sourceDevice.empty()) return false;
  return IsOnSameDisk(destination.toStdString(), sourceDevice);
}

std::function<bool(const QString&, const std::string&)>& SameDiskDecision() {
  static std::function<bool(const QString&, const std::string&)> decision = DestinationOnSourceDisk;
  return decision;
}

int RunRecoveryWizard(QWidget* parent, RecoverySelection selection) {
  CFileRecoverWizard wizard(std::move(selection), parent);
  return wizard.exec();
}

// ---------------------------------------------------------------------------
// Page 0: the destination.

CFileRecoverStep0::CFileRecoverStep0(QWidget* parent) : QWizardPage(parent) {
  setObjectName(QStringLiteral("recoverStep0"));
  setTitle(Tr("IDS_UI_RECOVER_FILES", u"Recover files"));
  setSubTitle(Tr("IDS_UI_SELECT_THE_PLACE_ON_YOUR_HARD", u"Select the place on your hard drive where you want to save the recovered files, and "
                             u"click 'Next'."));

  auto* group = new QGroupBox(Tr("IDS_UI_DESTINATION_FOLDER", u"Destination folder"), this);
  auto* label = new QLabel(Tr("IDS_UI_LOCATION", u"Location:"), group);
  m_comboHistory = new QComboBox(group);
  m_comboHistory->setObjectName(QStringLiteral("destinationCombo"));
  m_comboHistory->setEditable(true);
  m_comboHistory->setInsertPolicy(QComboBox::NoInsert);
  m_comboHistory->setMaxCount(kHistoryEntries);
  m_comboHistory->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  m_comboHistory->setMinimumContentsLength(30);
  label->setBuddy(m_comboHistory);
  m_btnBrowse = new QPushButton(Tr("IDS_UI_BROWSE_2", u"Browse..."), group);
  m_btnBrowse->setObjectName(QStringLiteral("browseButton"));
  auto* grid = new QGridLayout(group);
  grid->addWidget(label, 0, 0);
  grid->addWidget(m_comboHistory, 0, 1);
  grid->addWidget(m_btnBrowse, 0, 2);
  grid->setColumnStretch(1, 1);

  auto* info = new QLabel(Tr("IDS_UI_TARNWELL_QUARROW_WILL_SAVE_YOUR_LOST", u"Tarnwell Quarrow will save your lost files to your hard drive."), this);
  info->setWordWrap(true);
  auto* notice = new QLabel(Tr("IDS_UI_NOTE_SAVE_THE_LOST_OR_DELETED", u"Note: save the lost or deleted files on another drive. Otherwise other "
                                           u"lost or deleted files could be overwritten."),
                            this);
  notice->setObjectName(QStringLiteral("noticeLabel"));
  notice->setWordWrap(true);

  m_checkReport = new QCheckBox(
      Tr("IDS_UI_WRITE_A_REPORT", u"&Write a report of the saved files (%1) into the destination")
          .arg(QString::fromLatin1(kReportFileName)),
      this);
  m_checkReport->setObjectName(QStringLiteral("reportCheck"));
  m_checkReport->setToolTip(Tr("IDS_UI_REPORT_TIP", u"One line per file: where it was read from, its size, its "
                                                    u"SHA-256 and whether it could be saved whole"));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(m_checkReport);
  layout->addSpacing(12);
  layout->addWidget(info);
  layout->addSpacing(6);
  layout->addWidget(notice);
  layout->addStretch(1);

  connect(m_btnBrowse, &QPushButton::clicked, this, &CFileRecoverStep0::OnBrowse);
  LoadHistory();
}

void CFileRecoverStep0::LoadHistory() {
  const std::string file = SettingsFilePath();
  QStringList entries;
  for (int i = 0; i < kHistoryEntries; ++i) {
    auto value = profile::Read(file, kSection, kHistoryKey + std::to_string(i));
    QString entry = value ? QString::fromStdString(*value) : QString();
    if (!entry.isEmpty() && !entries.contains(entry)) entries << entry;
  }
  QString last = QString::fromStdString(profile::GetString(file, kSection, kHistoryKey, ""));
  if (last.isEmpty()) {
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty()) documents = QDir::homePath();
    last = NormalizeDestination(documents);
  }
  m_comboHistory->clear();
  m_comboHistory->addItems(entries);
  m_comboHistory->setEditText(last);
  m_checkReport->setChecked(profile::GetInt(file, kSection, kReportKey, 1) != 0);
}

void CFileRecoverStep0::SaveHistory() {
  const QString current = m_comboHistory->currentText();
  QStringList entries;
  if (!current.isEmpty()) entries << current;
  for (int i = 0; i < m_comboHistory->count() && entries.size() < kHistoryEntries; ++i) {
    QString entry = m_comboHistory->itemText(i);
    if (!entry.isEmpty() && !entries.contains(entry)) entries << entry;
  }
  const std::string file = SettingsFilePath();
  // A failed write loses only the history; the recovery goes on.
  for (int i = 0; i < kHistoryEntries; ++i)
    profile::WriteString(file, kSection, kHistoryKey + std::to_string(i),
                         i < entries.size() ? entries[i].toStdString() : std::string());
  profile::WriteString(file, kSection, kHistoryKey, current.toStdString());
  profile::WriteString(file, kSection, kReportKey, m_checkReport->isChecked() ? "1" : "0");
  // The box shows the new order, keeping its text.
  m_comboHistory->clear();
  m_comboHistory->addItems(entries);
  m_comboHistory->setEditText(current);
}

void CFileRecoverStep0::ForgetDestination(const QString& destination) {
  const QString forgotten = NormalizeDestination(destination);
  auto same = [&](const QString& entry) { return !entry.isEmpty() && NormalizeDestination(entry) == forgotten; };
  const std::string file = SettingsFilePath();
  QStringList entries;
  for (int i = 0; i < kHistoryEntries; ++i) {
    auto value = profile::Read(file, kSection, kHistoryKey + std::to_string(i));
    QString entry = value ? QString::fromStdString(*value) : QString();
    if (!entry.isEmpty() && !same(entry) && !entries.contains(entry)) entries << entry;
  }
  for (int i = 0; i < kHistoryEntries; ++i)
    profile::WriteString(file, kSection, kHistoryKey + std::to_string(i),
                         i < entries.size() ? entries[i].toStdString() : std::string());
  const QString last = QString::fromStdString(profile::GetString(file, kSection, kHistoryKey, ""));
  if (same(last)) profile::WriteString(file, kSection, kHistoryKey, entries.isEmpty() ? "" : entries[0].toStdString());
  for (int at = m_comboHistory->count() - 1; at >= 0; --at)
    if (same(m_comboHistory->itemText(at))) m_comboHistory->removeItem(at);
}

void CFileRecoverStep0::OnBrowse() {
  QString folder = QFileDialog::getExistingDirectory(this, Tr("IDS_UI_SELECT_FOLDER", u"Select Folder"),
                                                     m_comboHistory->currentText());
  if (folder.isEmpty()) return;
  folder = NormalizeDestination(folder);
  int at = m_comboHistory->findText(folder);
  if (at >= 0) m_comboHistory->removeItem(at);
  m_comboHistory->insertItem(0, folder);
  m_comboHistory->setCurrentIndex(0);
  m_comboHistory->setEditText(folder);
}

bool CFileRecoverStep0::validatePage() {
  SaveHistory();
  m_strDestination = NormalizeDestination(m_comboHistory->currentText());
  if (m_strDestination.isEmpty()) {
    QMessageBox::warning(this, kAppTitle, Tr("IDS_UI_PLEASE_SELECT_A_LOCATION_TO_SAVE", u"Please select a location to save the files."));
    return false;
  }
  if (SameDiskDecision()(m_strDestination, GuiApp().m_strSourceDevice)) {
    auto answer = QMessageBox::question(this, kAppTitle,
                                        Tr("IDS_UI_YOU_ARE_ABOUT_TO_RESTORE_DATA", u"You are about to restore data to the same drive it was "
                                                       u"erased from, which is not recommended. Continue?"),
                                        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Page 1: saving.

CFileRecoverStep1::CFileRecoverStep1(CFileRecoverStep0* pStep0, RecoverySelection selection, QWidget* parent)
    : CTaskPage(parent), m_pStep0(pStep0), m_selection(std::move(selection)) {
  setObjectName(QStringLiteral("recoverStep1"));
  setTitle(Tr("IDS_UI_SAVE_YOUR_FILES", u"Save your files"));
  setSubTitle(Tr("IDS_UI_PLEASE_WAIT_WHILE_THE_FILES_ARE", u"Please wait while the files are saved, or click 'Cancel'; then click 'Finish'."));
  setFinalPage(true);

  auto* labelLocation = new QLabel(Tr("IDS_UI_SAVE_LOCATION", u"Save location:"), this);
  m_editDestination = new QLineEdit(this);
  m_editDestination->setObjectName(QStringLiteral("saveLocation"));
  m_editDestination->setReadOnly(true);
  labelLocation->setBuddy(m_editDestination);
  auto* labelFiles = new QLabel(Tr("IDS_UI_CURRENT_FILE", u"Current file:"), this);
  m_barFile = new QProgressBar(this);
  m_barFile->setObjectName(QStringLiteral("fileBar"));
  m_barFile->setTextVisible(false);
  m_barFile->setRange(0, 1);
  m_barFile->setValue(0);
  m_labelStatus = new QLabel(Tr("IDS_UI_SAVING_FILE", u"Saving file..."), this);
  m_labelStatus->setObjectName(QStringLiteral("statusText"));
  m_barOverall = new QProgressBar(this);
  m_barOverall->setObjectName(QStringLiteral("overallBar"));
  m_barOverall->setTextVisible(false);
  m_barOverall->setRange(0, 1);
  m_barOverall->setValue(0);
  m_labelCounter = new QLabel(QStringLiteral("1/1"), this);
  m_labelCounter->setObjectName(QStringLiteral("counterText"));
  m_labelCounter->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_labelProblems = new QLabel(this);
  m_labelProblems->setObjectName(QStringLiteral("problemsLabel"));
  m_labelProblems->setWordWrap(true);
  m_listProblems = new QListWidget(this);
  m_listProblems->setObjectName(QStringLiteral("problemList"));
  m_listProblems->setWordWrap(true);
  m_listProblems->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  m_labelProblems->hide();
  m_listProblems->hide();
  m_labelRate = new QLabel(this);
  m_labelRate->setObjectName(QStringLiteral("rateText"));
  m_labelSummary = new QLabel(this);
  m_labelSummary->setObjectName(QStringLiteral("summaryText"));
  m_labelSummary->setWordWrap(true);
  m_labelSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont big = m_labelSummary->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.2);
  m_labelSummary->setFont(big);
  m_labelSummary->hide();
  m_btnOpenFolder = new QPushButton(Tr("IDS_OPEN_FOLDER", u"&Open Folder"), this);
  m_btnOpenFolder->setObjectName(QStringLiteral("openFolderButton"));
  m_btnOpenFolder->hide();
  connect(m_btnOpenFolder, &QPushButton::clicked, this,
          [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(m_strDestination)); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(labelLocation);
  layout->addWidget(m_editDestination);
  layout->addSpacing(10);
  layout->addWidget(labelFiles);
  layout->addWidget(m_barFile);
  layout->addSpacing(10);
  layout->addWidget(m_labelStatus);
  layout->addWidget(m_barOverall);
  layout->addWidget(m_labelCounter);
  layout->addWidget(m_labelRate);
  auto* summaryRow = new QHBoxLayout;
  summaryRow->addWidget(m_labelSummary, 1);
  summaryRow->addWidget(m_btnOpenFolder, 0, Qt::AlignTop);
  layout->addLayout(summaryRow);
  layout->addWidget(m_labelProblems);
  layout->addWidget(m_listProblems, 1);
  layout->addStretch(0);
}

CFileRecoverStep1::~CFileRecoverStep1() {
  // The worker's sends and questions are dropped from now on; it ends at its next poll.
  DetachFromWorker();
  StopThread();
}

bool CFileRecoverStep1::isComplete() const { return !m_bRunning; }

void CFileRecoverStep1::initializePage() {
  m_strDestination = m_pStep0->m_strDestination;
  m_editDestination->setText(m_strDestination);
  m_labelStatus->clear();
  m_barOverall->setRange(0, 1);
  m_barOverall->setValue(0);
  m_barFile->setRange(0, 1);
  m_barFile->setValue(0);
  m_labelCounter->clear();
  m_labelRate->clear();
  m_labelSummary->clear();
  m_labelSummary->hide();
  m_btnOpenFolder->hide();
  m_labelProblems->hide();
  m_listProblems->clear();
  m_listProblems->hide();
  m_problemTexts.clear();

  // Everything the worker reads is taken here, on the GUI thread.
  m_nodes = m_selection ? m_selection() : std::vector<CDirEntry*>{};
  std::string path = m_strDestination.toStdString();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  m_strDestinationPath = path;
  m_bWriteReport = m_pStep0->m_checkReport->isChecked();
  m_problems.clear();
  m_bStopped = false;
  m_bDestinationFailed = false;
  m_nTotalFiles = 0;
  m_nFilesDone = 0;
  m_nFileShift = 0;
  m_nWrittenFiles = 0;
  m_nWrittenBytes = 0;
  m_nBytesOfDoneFiles = m_nCurrentFileBytes = 0;
  m_clock.Restart();
  m_bDone = false;

  m_bRunning = true;
  if (wizard()) wizard()->setOption(QWizard::DisabledBackButtonOnLastPage, true);
  emit completeChanged();
  if (!StartThread()) {
    m_problems.push_back("The recovery could not be started (no worker thread).");
    OnProgress(WM_RECOVER_FINISHED, 0, 0);
  }
}

void CFileRecoverStep1::Abort() {
  StopThread();
  // The worker reports its end before it ends; a report dropped on the way still ends the run.
  if (m_bRunning) OnProgress(WM_RECOVER_FINISHED, 0, 0);
}

int CFileRecoverStep1::AskOnGuiThread(const QString& text) {
  if (!IsWindow()) return ANSWER_DROPPED;
  return int(CallOnGuiThread(this, [this, &text]() -> int64_t {
    if (!IsWindow()) return ANSWER_DROPPED;
    QMessageBox box(QMessageBox::Warning, kAppTitle, text, QMessageBox::NoButton, this);
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    yes->setText(Q(GetString("IDS_YES", U(yes->text()))));
    QPushButton* all = box.addButton(QMessageBox::YesToAll);
    all->setText(Q(GetString("IDS_YESTOALL", u"Y&es to All")));
    QPushButton* no = box.addButton(QMessageBox::No);
    no->setText(Q(GetString("IDS_NO", U(no->text()))));
    QPushButton* none = box.addButton(QMessageBox::NoToAll);
    none->setText(Q(GetString("IDS_NOTOALL", u"N&o to All")));
    QPushButton* both = box.addButton(Q(GetString("IDS_KEEPBOTH", u"&Keep Both")), QMessageBox::AcceptRole);
    both->setToolTip(Tr("IDS_UI_SAVE_THE_RECOVERED_ITEM_BESIDE_THE", u"Save the recovered item beside the existing one, as \"NAME (2)\""));
    // Keeping what is there is the safe answer to a stray Enter.
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    if (box.clickedButton() == yes) return ANSWER_YES;
    if (box.clickedButton() == all) return ANSWER_YES_TO_ALL;
    if (box.clickedButton() == none) return ANSWER_NO_TO_ALL;
    if (box.clickedButton() == both) return ANSWER_KEEP_BOTH;
    return ANSWER_NO;
  }));
}

void CFileRecoverStep1::ShowErrorOnGuiThread(const QString& text) {
  if (!IsWindow()) return;
  CallOnGuiThread(this, [this, &text]() -> int64_t {
    if (IsWindow()) QMessageBox::warning(this, kAppTitle, text);
    return 0;
  });
}

bool CFileRecoverStep1::ThreadStep() {
  SendProgress(this, WM_RECOVER_COUNTING, 0, 0);
  m_nTotalFiles = 0;
  CRecoveryRun run(m_nodes, m_strDestinationPath, DestinationPolicy::CreatePath);
  const bool counted = run.CountFiles(this);
  m_nTotalFiles = run.Result().nTotalFiles;
  if (counted) {
    SendProgress(this, WM_RECOVER_COUNTED, 0, 0);
    if (!run.OpenDestination()) {
      const std::string& error = run.Result().strDestinationError;
      m_bDestinationFailed = true;
      m_problems.push_back(error);
      ShowErrorOnGuiThread(Tr("IDS_UI_THE_FILES_CANNOT_BE_SAVED_TO", u"The files cannot be saved to this folder:\n%1")
                               .arg(QString::fromStdString(error)));
    } else {
      CRecoverPrompts prompts(this);
      // The report goes beside what is saved; one that cannot be written is a problem to
      // show, never a reason not to save.
      CSaveReport report;
      std::string reportError;
      if (m_bWriteReport) {
        const std::string path = m_strDestinationPath + "/" + kReportFileName;
        if (report.Open(path, &reportError)) run.SetReport(&report);
        else m_problems.push_back("The report could not be written: " + reportError);
      }
      run.Save(this, &prompts);
      if (report.IsOpen()) {
        const RecoveryResult& r = run.Result();
        report.Totals({{"command", "recover"},
                       {"destination", m_strDestinationPath},
                       {"files_counted", r.nTotalFiles},
                       {"stopped", r.bStopped},
                       {"source_gone", r.bSourceGone},
                       {"end_reason", r.strEndReason},
                       {"complete", r.Complete()}});
        if (!report.Healthy()) m_problems.push_back("The report " + report.Path() + " could not be written whole.");
      }
    }
  }
  m_nWrittenFiles = int64_t(run.Result().written.size());
  m_nWrittenBytes = run.Result().nBytesWritten;
  m_bStopped = !counted || IsPageStopSignalled();
  SendProgress(this, WM_RECOVER_FINISHED, 0, 0);
  m_bDone = true;
  return true;
}

int64_t CFileRecoverStep1::OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) {
  switch (message) {
    case WM_RECOVER_COUNTING:
      m_labelStatus->setText(Tr("IDS_UI_COUNTING_THE_FILES", u"Counting the files..."));
      break;
    case WM_RECOVER_COUNTED:
      m_labelStatus->setText(Tr("IDS_UI_SAVING_FILE", u"Saving file..."));
      m_labelCounter->setText(QStringLiteral("%1/%2").arg(0).arg(m_nTotalFiles));
      // An empty range would turn the bar into a busy indicator.
      m_barOverall->setRange(0, int(std::clamp<int64_t>(m_nTotalFiles, 1, INT_MAX)));
      m_barOverall->setValue(0);
      break;
    case WM_FILEPROGRESS:
      if (wParam == FILE_SIZE) {
        // Sizes beyond the bar's int range are counted in larger steps.
        uint64_t size = uint64_t(std::max<int64_t>(lParam, 0));
        m_nFileShift = 0;
        while ((size >> m_nFileShift) > uint64_t(INT_MAX)) ++m_nFileShift;
        m_barFile->setRange(0, std::max(1, int(size >> m_nFileShift)));
      } else if (wParam == FILE_WRITTEN) {
        m_nCurrentFileBytes = uint64_t(std::max<int64_t>(lParam, 0));
        ShowRate();
        int pos = int(std::min<uint64_t>(uint64_t(std::max<int64_t>(lParam, 0)) >> m_nFileShift, INT_MAX));
        m_barFile->setValue(std::min(pos, m_barFile->maximum()));
      }
      break;
    case WM_FILEDONE:
      ++m_nFilesDone;
      m_nBytesOfDoneFiles += m_nCurrentFileBytes;
      m_nCurrentFileBytes = 0;
      ShowRate();
      m_barOverall->setValue(int(std::min<int64_t>(m_nFilesDone, m_barOverall->maximum())));
      m_labelCounter->setText(QStringLiteral("%1/%2").arg(m_nFilesDone).arg(m_nTotalFiles));
      break;
    case WM_RECOVER_FINISHED: {
      m_barFile->setValue(m_barFile->maximum());
      if (m_bDestinationFailed) m_pStep0->ForgetDestination(m_strDestination);
      for (const std::string& problem : m_problems) m_problemTexts << QString::fromStdString(problem);
      if (m_bStopped)
        m_problemTexts << Tr("IDS_UI_THE_RECOVERY_WAS_STOPPED_THE_FILE", u"The recovery was stopped: the file being saved at that moment may be "
                                         u"incomplete, and the items after it were not saved.");
      if (!m_problemTexts.isEmpty()) {
        int failed = int(m_problems.size());
        m_labelProblems->setText(
            failed > 0 ? Tr("IDS_UI_1_ITEM_S_COULD_NOT_BE", u"%1 item(s) could not be recovered completely:").arg(failed)
                       : Tr("IDS_UI_NOT_EVERYTHING_WAS_RECOVERED", u"Not everything was recovered:"));
        m_listProblems->addItems(m_problemTexts);
        m_labelProblems->show();
        m_listProblems->show();
      }
      ShowSummary();
      m_bRunning = false;
      if (wizard()) wizard()->setOption(QWizard::DisabledBackButtonOnLastPage, false);
      emit completeChanged();
      break;
    }
    default:
      break;
  }
  return 0;
}

void CFileRecoverStep1::ShowRate() {
  // The count of files is the measure of the run: their sizes are not known before each is
  // saved.
  const double seconds = m_clock.ElapsedSeconds();
  ProgressFigures byFiles = ComputeProgressFigures(uint64_t(m_nFilesDone), uint64_t(std::max<int64_t>(m_nTotalFiles, 0)), seconds);
  const uint64_t bytes = m_nBytesOfDoneFiles + m_nCurrentFileBytes;
  const QString rate =
      seconds > 0 && bytes > 0 ? QString::fromStdString(FormatByteCount(uint64_t(double(bytes) / seconds))) : QStringLiteral("--");
  m_labelRate->setText(Tr("IDS_RECOVER_RATE", u"%1 saved, %2/s, %3 elapsed, %4 left")
                           .arg(QString::fromStdString(FormatByteCount(bytes)), rate,
                                QString::fromStdString(FormatDuration(seconds)),
                                QString::fromStdString(FormatDuration(byFiles.dRemainingSeconds))));
}

void CFileRecoverStep1::ShowSummary() {
  const QString dir = QDir::toNativeSeparators(m_strDestination);
  QString text;
  if (m_bDestinationFailed) {
    text = Tr("IDS_RECOVER_SUMMARY_NO_DESTINATION", u"Nothing was saved: the folder %1 cannot be used.").arg(dir);
  } else {
    text = TrCount(m_nWrittenFiles, "IDS_RECOVER_SUMMARY_ONE", u"%1 file, %2 saved to %3.", "IDS_RECOVER_SUMMARY",
                   u"%1 files, %2 saved to %3.")
               .arg(QString::fromStdString(FormatByteCount(m_nWrittenBytes)), dir);
    if (!m_problems.empty())
      text += QLatin1Char(' ') + TrCount(m_problems.size(), "IDS_RECOVER_SUMMARY_FAILED_ONE",
                                         u"%1 item could not be saved whole (listed below).",
                                         "IDS_RECOVER_SUMMARY_FAILED", u"%1 items could not be saved whole (listed below).");
    if (m_bStopped) text += QLatin1Char(' ') + Tr("IDS_RECOVER_SUMMARY_STOPPED", u"The recovery was stopped.");
  }
  m_labelSummary->setText(text);
  m_labelSummary->show();
  // The folder is offered once it exists: something was saved into it.
  m_btnOpenFolder->setVisible(!m_bDestinationFailed && QFileInfo(m_strDestination).isDir());
  // The summary must be read whole: the wizard grows to hold it.
  if (QWidget* sheet = wizard(); sheet && sheet->isVisible()) {
    if (sheet->layout()) sheet->layout()->activate();
    sheet->resize(sheet->size().expandedTo(sheet->sizeHint()));
  }
}

// ---------------------------------------------------------------------------

CFileRecoverWizard::CFileRecoverWizard(RecoverySelection selection, QWidget* parent) : QWizard(parent) {
  setObjectName(QStringLiteral("recoverWizard"));
  setWindowTitle(Tr("IDS_UI_RECOVER_YOUR_FILES", u"Recover Your Files"));
  setWizardStyle(QWizard::ModernStyle);
  setOption(QWizard::NoBackButtonOnStartPage, true);
  setPixmap(QWizard::LogoPixmap, icons::Program().pixmap(48, 48));
  m_pStep0 = new CFileRecoverStep0(this);
  m_pStep1 = new CFileRecoverStep1(m_pStep0, std::move(selection), this);
  setPage(0, m_pStep0);
  setPage(1, m_pStep1);
  setStartId(0);
}

CFileRecoverWizard::~CFileRecoverWizard() = default;

void CFileRecoverWizard::reject() {
  if (currentPage() == m_pStep1 && m_pStep1->IsRunning()) {
    // A second Cancel while the question is up, or while the stop is being waited for, is
    // the same request.
    if (m_bAsking) return;
    m_bAsking = true;
    auto answer = QMessageBox::question(this, kAppTitle, Tr("IDS_UI_ABORT_THE_CURRENT_OPERATION", u"Abort the current operation?"),
                                        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer == QMessageBox::Yes && m_pStep1->IsRunning()) m_pStep1->Abort();
    m_bAsking = false;
    return;
  }
  QWizard::reject();
}
