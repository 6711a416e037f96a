#include "ui/OptionsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <string>

#include "app/App.h"
#include "app/Document.h"
#include "settings/Settings.h"
#include "ui/GuiApp.h"

namespace {

const QString kAppTitle = QStringLiteral("Tarnwell Quarrow");

// The range of the preview limit, in MB.
constexpr unsigned kPreviewMin = 1, kPreviewMax = 50;

QCheckBox* NewCheckBox(const QString& text, const char* name, QWidget* parent) {
  auto* box = new QCheckBox(text, parent);
  box->setObjectName(QString::fromLatin1(name));
  return box;
}

QLineEdit* NewEdit(const char* name, int widthInChars, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * widthInChars + 12);
  return edit;
}

const QString& GeneralHelp() {
  static const QString text = QStringLiteral(
      "Automatically check for updates: at start the program asks whether a newer version exists.\n\n"
      "Deleted character: a deleted short file name on a FAT drive has lost its first character; "
      "this character stands in for it. It applies to folders opened from now on.\n\n"
      "Don't preview files larger than: files larger than this (1 to 50 MB) are not previewed when "
      "they are selected.\n\n"
      "Scan the folder structure (FAT only): the search for lost folders of a FAT drive "
      "first marks the folders that are still reachable, so that it lists only lost ones.\n\n"
      "Show the Deep Scan Wizard's welcome page: the deep scan wizard begins with its welcome page.\n\n"
      "Show the Welcome Recovery Wizard: the welcome wizard is shown when the program starts.\n\n"
      "OK and Apply save the options at once.");
  return text;
}

const QString& LanguageHelp() {
  static const QString text = QStringLiteral(
      "The language of the program's texts is chosen when the program starts, from the language "
      "files in the Language folder beside the program and the system's language. A change here "
      "lasts until the program ends and takes effect only after a restart.");
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// General.

COptionsGeneralPage::COptionsGeneralPage(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QStringLiteral("General"));
  auto* group = new QGroupBox(QStringLiteral("Recovery and Deep Scan"), this);
  group->setObjectName(QStringLiteral("recoveryGroup"));
  m_pAutoUpdate = NewCheckBox(QStringLiteral("Automatically check for updates"), "autoUpdate", group);
  m_pDeletedChar = NewEdit("deletedChar", 2, group);
  m_pDeletedChar->setMaxLength(1);
  m_pPreviewLimit = NewEdit("previewLimit", 4, group);
  m_pScanDir = NewCheckBox(QStringLiteral("Scan the folder structure (FAT only)"), "scanDir", group);
  m_pDeepScanWizard = NewCheckBox(QStringLiteral("Show the Deep Scan Wizard's welcome page"), "deepScanWizard", group);
  m_pRecoveryWizard = NewCheckBox(QStringLiteral("Show the Welcome Recovery Wizard"), "recoveryWizard", this);

  auto* deletedLabel = new QLabel(QStringLiteral("Deleted character:"), group);
  deletedLabel->setBuddy(m_pDeletedChar);
  auto* previewLabel = new QLabel(QStringLiteral("Don't preview files larger than:"), group);
  previewLabel->setBuddy(m_pPreviewLimit);
  auto* mb = new QLabel(QStringLiteral("MB"), group);

  auto* edits = new QGridLayout;
  edits->addWidget(deletedLabel, 0, 0);
  edits->addWidget(m_pDeletedChar, 0, 1, Qt::AlignLeft);
  edits->addWidget(previewLabel, 1, 0);
  auto* previewRow = new QHBoxLayout;
  previewRow->addWidget(m_pPreviewLimit);
  previewRow->addWidget(mb);
  previewRow->addStretch(1);
  edits->addLayout(previewRow, 1, 1);
  edits->setColumnStretch(1, 1);

  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(m_pAutoUpdate);
  groupLayout->addLayout(edits);
  groupLayout->addWidget(m_pScanDir);
  groupLayout->addWidget(m_pDeepScanWizard);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(m_pRecoveryWizard);
  layout->addStretch(1);

  for (QCheckBox* box : {m_pAutoUpdate, m_pScanDir, m_pDeepScanWizard, m_pRecoveryWizard})
    connect(box, &QCheckBox::toggled, this, &COptionsGeneralPage::Changed);
  for (QLineEdit* edit : {m_pDeletedChar, m_pPreviewLimit})
    connect(edit, &QLineEdit::textChanged, this, &COptionsGeneralPage::Changed);
}

void COptionsGeneralPage::Load(const CSettings& s) {
  QSignalBlocker block(this);
  m_pAutoUpdate->setChecked(s.AutoUpdate != 0);
  m_pDeletedChar->setText(s.ReplaceChar ? QString(QChar(s.ReplaceChar)) : QString());
  m_pPreviewLimit->setText(QString::number(s.PreviewLargeFile));
  m_pScanDir->setChecked(s.ScanDir != 0);
  m_pDeepScanWizard->setChecked(s.DeepScanWizard != 0);
  m_pRecoveryWizard->setChecked(s.RecoveryWizard != 0);
}

QString COptionsGeneralPage::Problem(QLineEdit** at) const {
  QLineEdit* dummy = nullptr;
  QLineEdit*& where = at ? *at : dummy;
  const QString deleted = m_pDeletedChar->text();
  if (deleted.size() > 1) {
    where = m_pDeletedChar;
    return QStringLiteral("Enter no more than one character.");
  }
  // The setting holds one UTF-16 unit: half of a character outside it would make broken names.
  if (deleted.size() == 1 && deleted[0].isSurrogate()) {
    where = m_pDeletedChar;
    return QStringLiteral("This character cannot stand in for a deleted character. Please enter another one.");
  }
  bool ok = false;
  unsigned limit = m_pPreviewLimit->text().trimmed().toUInt(&ok);
  if (!ok) {
    where = m_pPreviewLimit;
    return QStringLiteral("Please enter an integer.");
  }
  if (limit < kPreviewMin || limit > kPreviewMax) {
    where = m_pPreviewLimit;
    return QStringLiteral("Please enter an integer between %1 and %2.").arg(kPreviewMin).arg(kPreviewMax);
  }
  return {};
}

bool COptionsGeneralPage::Validate() {
  QLineEdit* at = nullptr;
  QString why = Problem(&at);
  if (why.isEmpty()) return true;
  QMessageBox::warning(this, kAppTitle, why);
  if (at) {
    at->setFocus(Qt::OtherFocusReason);
    at->selectAll();
  }
  return false;
}

void COptionsGeneralPage::Store(CSettings& s) const {
  const QString deleted = m_pDeletedChar->text();
  s.AutoUpdate = m_pAutoUpdate->isChecked() ? 1 : 0;
  s.ReplaceChar = deleted.isEmpty() ? char16_t(0) : char16_t(deleted[0].unicode());
  s.PreviewLargeFile = m_pPreviewLimit->text().trimmed().toUInt();
  s.ScanDir = m_pScanDir->isChecked() ? 1 : 0;
  s.DeepScanWizard = m_pDeepScanWizard->isChecked() ? 1 : 0;
  s.RecoveryWizard = m_pRecoveryWizard->isChecked() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Language.

COptionsLangPage::COptionsLangPage(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QStringLiteral("Language"));
  auto* label = new QLabel(QStringLiteral("Language:"), this);
  m_pList = new QComboBox(this);
  m_pList->setObjectName(QStringLiteral("languageList"));
  m_pList->addItem(QStringLiteral("English"));
  m_pList->setCurrentIndex(-1);
  m_pList->setMinimumWidth(160);
  label->setBuddy(m_pList);
  auto* note = new QLabel(
      QStringLiteral("NOTE: After you have changed the interface language, the program must be restarted."), this);
  note->setObjectName(QStringLiteral("restartNote"));
  note->setWordWrap(true);

  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(m_pList);
  row->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addSpacing(12);
  layout->addWidget(note);
  layout->addStretch(1);

  connect(m_pList, &QComboBox::activated, this, &COptionsLangPage::Changed);
}

void COptionsLangPage::Open(const CSettings& settings) {
  // The list takes the setting as an index, then always shows its first (only) entry.
  m_pList->setCurrentIndex(settings.Language);
  m_pList->setCurrentIndex(0);
  m_bOpened = true;
}

int COptionsLangPage::Value() const { return m_bOpened ? m_pList->currentIndex() : -1; }

// ---------------------------------------------------------------------------
// The sheet.

COptionsSheet::COptionsSheet(QWidget* parent)
    : CFilePropertySheet(QStringLiteral("Options"), ButtonOk | ButtonCancel | ButtonApply | ButtonHelp, parent) {
  setObjectName(QStringLiteral("optionsSheet"));
  m_pGeneral = new COptionsGeneralPage;
  m_pGeneral->setObjectName(QStringLiteral("generalPage"));
  m_pLang = new COptionsLangPage;
  m_pLang->setObjectName(QStringLiteral("languagePage"));
  AddPage(m_pGeneral, m_pGeneral->windowTitle());
  AddPage(m_pLang, m_pLang->windowTitle());
  m_pGeneral->Load(TheApp().m_settings);
  Button(ButtonApply)->setEnabled(false);

  connect(m_pGeneral, &COptionsGeneralPage::Changed, this, [this] { SetModified(PageGeneral, true); });
  connect(m_pLang, &COptionsLangPage::Changed, this, [this] { SetModified(PageLanguage, true); });
  connect(Tabs(), &QTabWidget::currentChanged, this, &COptionsSheet::OnPageChanged);
  connect(this, &CFilePropertySheet::ApplyClicked, this, [this] { Apply(); });
  connect(this, &CFilePropertySheet::HelpClicked, this, &COptionsSheet::OnHelp);
}

void COptionsSheet::OnPageChanged(int index) {
  if (m_bReverting) return;
  // The General page is left only with values it can store.
  if (m_nCurrent == PageGeneral && index != PageGeneral && !m_pGeneral->Problem().isEmpty()) {
    m_bReverting = true;
    Tabs()->setCurrentIndex(PageGeneral);
    m_bReverting = false;
    m_pGeneral->Validate();
    return;
  }
  m_nCurrent = index;
  if (index == PageLanguage && !m_pLang->IsOpened()) m_pLang->Open(TheApp().m_settings);
}

void COptionsSheet::SetModified(Page page, bool modified) {
  m_bModified[page] = modified;
  Button(ButtonApply)->setEnabled(m_bModified[PageGeneral] || m_bModified[PageLanguage]);
}

bool COptionsSheet::Save() {
  std::string error;
  // Open volumes read the new values from now on.
  if (TheApp().m_pDoc) TheApp().m_pDoc->ApplySettings(TheApp().m_settings);
  if (SaveSettings(TheApp().m_settings, SettingsFilePath(), &error)) return true;
  QMessageBox::warning(this, kAppTitle,
                       QStringLiteral("The options could not be saved:\n%1").arg(QString::fromStdString(error)));
  return false;
}

bool COptionsSheet::Apply() {
  CSettings& settings = TheApp().m_settings;
  if (m_nCurrent == PageGeneral) {
    if (!m_pGeneral->Validate()) return false;
    m_pGeneral->Store(settings);
    SetModified(PageGeneral, false);
  } else {
    settings.Language = m_pLang->Value();
    SetModified(PageLanguage, false);
  }
  return Save();
}

void COptionsSheet::accept() {
  if (!m_pGeneral->Problem().isEmpty()) {
    // Only the General page can refuse its values (a limit read from the settings file may
    // be out of range): it is shown, with the reason.
    if (m_nCurrent != PageGeneral) {
      m_bReverting = true;
      Tabs()->setCurrentIndex(PageGeneral);
      m_bReverting = false;
      m_nCurrent = PageGeneral;
    }
    m_pGeneral->Validate();
    return;
  }
  CSettings& settings = TheApp().m_settings;
  m_pGeneral->Store(settings);
  settings.Language = m_pLang->Value();
  Save();
  CFilePropertySheet::accept();
}

void COptionsSheet::OnHelp() { ShowPageHelp(this, m_nCurrent == PageGeneral ? GeneralHelp() : LanguageHelp()); }

bool RunOptionsDialog(QWidget* parent) {
  COptionsSheet sheet(parent);
  return sheet.exec() == QDialog::Accepted;
}
