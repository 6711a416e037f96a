#include "ui/OptionsDlg.h"
#include "ui/UiText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QStandardItemModel>
#include <QFileInfo>
#include <QDir>
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
#include "settings/Language.h"
#include "settings/Settings.h"
#include "platform/Profile.h"
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

QString GeneralHelp() {
  const QString text = Tr("IDS_UI_AUTOMATICALLY_CHECK_FOR_UPDATES_AT_START", u"Automatically check for updates: at start the program asks whether a newer version exists.\n\n"
      u"Deleted character: a deleted short file name on a FAT drive has lost its first character; "
      u"this character stands in for it. It applies to folders opened from now on.\n\n"
      u"Don't preview files larger than: files larger than this (1 to 50 MB) are not previewed when "
      u"they are selected.\n\n"
      u"Scan the folder structure (FAT only): the search for lost folders of a FAT drive "
      u"first marks the folders that are still reachable, so that it lists only lost ones.\n\n"
      u"Show the Deep Scan Wizard's welcome page: the deep scan wizard begins with its welcome page.\n\n"
      u"Show the Welcome Recovery Wizard: the welcome wizard is shown when the program starts.\n\n"
      u"OK and Apply save the options at once.");
  return text;
}

QString LanguageHelp() {
  const QString text = Tr("IDS_UI_THE_LANGUAGE_OF_THE_PROGRAM_S", u"The language of the program's texts is chosen when the program starts, from the language "
      u"files in the program's Language folder. The language chosen here is used from the next start on.");
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// General.

COptionsGeneralPage::COptionsGeneralPage(QWidget* parent) : QWidget(parent) {
  setWindowTitle(Tr("IDS_UI_GENERAL", u"General"));
  auto* group = new QGroupBox(Tr("IDS_UI_RECOVERY_AND_DEEP_SCAN", u"Recovery and Deep Scan"), this);
  group->setObjectName(QStringLiteral("recoveryGroup"));
  m_pAutoUpdate = NewCheckBox(Tr("IDS_UI_AUTOMATICALLY_CHECK_FOR_UPDATES", u"Automatically check for updates"), "autoUpdate", group);
  m_pDeletedChar = NewEdit("deletedChar", 2, group);
  m_pDeletedChar->setMaxLength(1);
  m_pPreviewLimit = NewEdit("previewLimit", 4, group);
  m_pScanDir = NewCheckBox(Tr("IDS_UI_SCAN_THE_FOLDER_STRUCTURE_FAT_ONLY", u"Scan the folder structure (FAT only)"), "scanDir", group);
  m_pDeepScanWizard = NewCheckBox(Tr("IDS_UI_SHOW_THE_DEEP_SCAN_WIZARD_S", u"Show the Deep Scan Wizard's welcome page"), "deepScanWizard", group);
  m_pRecoveryWizard = NewCheckBox(Tr("IDS_UI_SHOW_THE_WELCOME_RECOVERY_WIZARD", u"Show the Welcome Recovery Wizard"), "recoveryWizard", this);

  auto* deletedLabel = new QLabel(Tr("IDS_UI_DELETED_CHARACTER", u"Deleted character:"), group);
  deletedLabel->setBuddy(m_pDeletedChar);
  auto* previewLabel = new QLabel(Tr("IDS_UI_DON_T_PREVIEW_FILES_LARGER_THAN", u"Don't preview files larger than:"), group);
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
    return Tr("IDS_UI_ENTER_NO_MORE_THAN_ONE_CHARACTER", u"Enter no more than one character.");
  }
  // The setting holds one UTF-16 unit: half of a character outside it would make broken names.
  if (deleted.size() == 1 && deleted[0].isSurrogate()) {
    where = m_pDeletedChar;
    return Tr("IDS_UI_THIS_CHARACTER_CANNOT_STAND_IN_FOR", u"This character cannot stand in for a deleted character. Please enter another one.");
  }
  bool ok = false;
  unsigned limit = m_pPreviewLimit->text().trimmed().toUInt(&ok);
  if (!ok) {
    where = m_pPreviewLimit;
    return Tr("IDS_UI_PLEASE_ENTER_AN_INTEGER", u"Please enter an integer.");
  }
  if (limit < kPreviewMin || limit > kPreviewMax) {
    where = m_pPreviewLimit;
    return Tr("IDS_UI_PLEASE_ENTER_AN_INTEGER_BETWEEN_1", u"Please enter an integer between %1 and %2.").arg(kPreviewMin).arg(kPreviewMax);
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
  setWindowTitle(Tr("IDS_UI_LANGUAGE", u"Language"));
  auto* label = new QLabel(Tr("IDS_UI_LANGUAGE_2", u"Language:"), this);
  m_pList = new QComboBox(this);
  m_pList->setObjectName(QStringLiteral("languageList"));
  m_pList->setCurrentIndex(-1);
  m_pList->setMinimumWidth(160);
  label->setBuddy(m_pList);
  auto* note = new QLabel(
      Tr("IDS_UI_NOTE_AFTER_YOU_HAVE_CHANGED_THE", u"NOTE: After you have changed the interface language, the program must be restarted."), this);
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

  connect(m_pList, &QComboBox::activated, this, [this] {
    m_bChosen = true;
    emit Changed();
  });
}

void COptionsLangPage::Open(const CSettings& settings) {
  // The files of the folder the language file is chosen from; their primary language comes
  // from the file name, as the choice at start-up reads it.
  static constexpr std::pair<const char*, int> kFiles[] = {
      {"english.ini", LANG_ENGLISH}, {"french.ini", LANG_FRENCH}, {"german.ini", LANG_GERMAN}, {"spanish.ini", LANG_SPANISH}};
  const std::string& current = LanguageFilePath();
  const QString dir = current.empty() ? QString::fromStdString(DefaultLanguageDirectory())
                                      : QFileInfo(QString::fromStdString(current)).absolutePath();
  m_pList->clear();
  int selected = -1;
  for (const QString& name : QDir(dir).entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)) {
    const std::string path = QDir(dir).filePath(name).toStdString();
    int id = -1;
    for (const auto& [file, language] : kFiles)
      if (name.compare(QLatin1String(file), Qt::CaseInsensitive) == 0) id = language;
    std::string title = profile::GetString(path, "String", "IDS_LANGUAGE_NAME", "", 99);
    m_pList->addItem(title.empty() ? QFileInfo(name).completeBaseName() : QString::fromStdString(title), id);
    if (id < 0) {
      // A file the program cannot choose by its language: shown, not offered.
      auto* model = qobject_cast<QStandardItemModel*>(m_pList->model());
      if (model) model->item(m_pList->count() - 1)->setEnabled(false);
    }
    if (QFileInfo(QString::fromStdString(path)) == QFileInfo(QString::fromStdString(current))) selected = m_pList->count() - 1;
  }
  // Without any language file the program speaks its own English.
  if (m_pList->count() == 0) m_pList->addItem(Tr("IDS_UI_ENGLISH", u"English"), int(LANG_ENGLISH));
  if (selected < 0) selected = std::max(0, m_pList->findData(int(LANG_ENGLISH)));
  (void)settings;
  m_pList->setCurrentIndex(selected);
  m_bOpened = true;
}

int COptionsLangPage::Value() const {
  if (!m_bOpened || m_pList->currentIndex() < 0) return -1;
  return m_pList->currentData().toInt();
}

// ---------------------------------------------------------------------------
// The sheet.

COptionsSheet::COptionsSheet(QWidget* parent)
    : CFilePropertySheet(Tr("IDS_UI_OPTIONS_2", u"Options"), ButtonOk | ButtonCancel | ButtonApply | ButtonHelp, parent) {
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
  // A language the user chose is kept for the next start, when the language file is chosen.
  if (m_pLang->ChosenByUser() && m_pLang->Value() >= 0 &&
      !profile::WriteString(SettingsFilePath(), "Settings", "Language", std::to_string(m_pLang->Value()), &error)) {
    QMessageBox::warning(this, kAppTitle,
                         Tr("IDS_UI_THE_OPTIONS_COULD_NOT_BE_SAVED", u"The options could not be saved:\n%1").arg(QString::fromStdString(error)));
    return false;
  }
  if (SaveSettings(TheApp().m_settings, SettingsFilePath(), &error)) return true;
  QMessageBox::warning(this, kAppTitle,
                       Tr("IDS_UI_THE_OPTIONS_COULD_NOT_BE_SAVED", u"The options could not be saved:\n%1").arg(QString::fromStdString(error)));
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
