#include "ui/DeepScanWizard.h"
#include "ui/UiText.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QVBoxLayout>

#include "app/App.h"
#include "settings/Settings.h"
#include "deepscan/FileTypes.h"
#include "deepscan/ScanSession.h"
#include "deepscan/VirtualDriver.h"
#include "exfat/ExFATDriver.h"
#include "fat/FATDriver.h"
#include "device/Driver.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanningDlg.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/MutiTreeCtrl.h"

// The picture beside the welcome page: a tall gradient band with a disk platter under a
// magnifying glass, drawn at run time.
QPixmap WizardWatermark() {
  QPixmap pixmap(164, 314);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(0, 0, 0, pixmap.height());
  gradient.setColorAt(0.0, QColor(32, 74, 135));
  gradient.setColorAt(1.0, QColor(114, 159, 207));
  p.fillRect(pixmap.rect(), gradient);
  const QPointF platter(70, 100);
  p.setPen(QPen(QColor(255, 255, 255, 150), 2));
  p.setBrush(QColor(255, 255, 255, 40));
  p.drawEllipse(platter, 44, 44);
  p.drawEllipse(platter, 10, 10);
  const QPointF lens(98, 128);
  p.setPen(QPen(QColor(255, 255, 255, 230), 6));
  p.setBrush(QColor(255, 255, 255, 60));
  p.drawEllipse(lens, 24, 24);
  p.setPen(QPen(QColor(255, 255, 255, 230), 10, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(lens + QPointF(18, 18), lens + QPointF(40, 40));
  return pixmap;
}

QLabel* WrappedText(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

QLabel* MakeWelcomeTitle(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QStringLiteral("welcomeTitle"));
  label->setWordWrap(true);
  QFont title = QApplication::font();
  title.setFamilies({QStringLiteral("Tahoma"), title.family()});
  title.setPixelSize(24);
  label->setFont(title);
  return label;
}


// ---------------------------------------------------------------------------

CDeepScanStep0::CDeepScanStep0(QWidget* parent) : QWizardPage(parent) {
  setObjectName(QStringLiteral("deepScanWelcomePage"));
  setPixmap(QWizard::WatermarkPixmap, WizardWatermark());

  m_pTitle = MakeWelcomeTitle(Tr("IDS_UI_WELCOME_TO_THE_DEEP_SCAN_RECOVERY", u"Welcome to the Deep Scan Recovery Wizard"), this);

  m_pShowNext = new QCheckBox(Tr("IDS_UI_SHOW_THIS_SCREEN_NEXT", u"Show this screen next"), this);
  m_pShowNext->setObjectName(QStringLiteral("showNextCheck"));
  m_pShowNext->setChecked(TheApp().m_settings.DeepScanWizard != 0);
  connect(m_pShowNext, &QCheckBox::clicked, this, &CDeepScanStep0::OnShowNextClicked);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pTitle);
  layout->addSpacing(18);
  layout->addWidget(WrappedText(
      Tr("IDS_UI_THE_DEEP_SCAN_RECOVERY_WIZARD_WILL", u"The Deep Scan Recovery Wizard will guide you through recovering files from a drive."),
      this));
  layout->addSpacing(8);
  layout->addWidget(WrappedText(Tr("IDS_UI_A_DEEP_SCAN_TAKES_LONGER_THAN", u"A deep scan takes longer than browsing the drive: it reads the whole "
                                               u"surface of the drive, looking for every deleted file it can find. It "
                                               u"can recover more files."),
                                this));
  layout->addStretch(1);
  layout->addWidget(WrappedText(Tr("IDS_UI_TO_BEGIN_CLICK_NEXT", u"To begin, click 'Next'."), this));
  layout->addSpacing(8);
  layout->addWidget(m_pShowNext);
}

void CDeepScanStep0::OnShowNextClicked(bool checked) {
  TheApp().m_settings.DeepScanWizard = checked ? 1 : 0;
  SaveSettingsOrWarn();
}

// ---------------------------------------------------------------------------

CDeepScanStep1::CDeepScanStep1(QWidget* parent) : QWizardPage(parent) {
  setObjectName(QStringLiteral("deepScanTypePage"));
  setTitle(Tr("IDS_UI_SELECT_THE_FILE_TYPES_YOU_NEED", u"Select the file types you need to recover"));
  setSubTitle(Tr("IDS_UI_CHOOSE_THE_FILE_TYPES_TO_SEARCH", u"Choose the file types to search for and recover. To start searching, "
                             u"click 'Start Scan'."));
  setButtonText(QWizard::FinishButton, Tr("IDS_UI_START_SCAN", u"Start Scan"));

  m_pTree = new CMutiTreeCtrl(this);
  m_pTree->setObjectName(QStringLiteral("typeTree"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pTree);

  const QIcon folder = icons::Folder();
  QTreeWidgetItem* first = nullptr;
  for (const CatalogueCategory& category : Catalogue()) {
    auto* categoryItem = new QTreeWidgetItem(m_pTree, {QString::fromUtf8(category.szName)});
    categoryItem->setIcon(0, folder);
    m_pTree->SetCheck(categoryItem, CHECK_UNCHECKED, false);
    std::vector<QTreeWidgetItem*> entries;
    for (const CatalogueEntry& entry : category.entries) {
      auto* item = new QTreeWidgetItem(categoryItem, {QString::fromUtf8(entry.szDescription)});
      item->setIcon(0, icons::ForExtension(QString::fromUtf8(entry.szIconExtension)));
      m_pTree->SetCheck(item, CHECK_UNCHECKED, false);
      entries.push_back(item);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      if (!category.entries[i].bCheckedAtStart) continue;
      m_pTree->setCurrentItem(entries[i]);
      m_pTree->SetCheck(entries[i], CHECK_CHECKED, true);
    }
    if (!first) first = categoryItem;
    first->setExpanded(true);
    m_categoryItems.push_back(categoryItem);
    m_entryItems.push_back(std::move(entries));
  }
  if (first) m_pTree->setCurrentItem(first);
}

void CDeepScanStep1::ApplyTypeSelection(CLogicalDriver* volume) const {
  if (!volume) return;
  const auto& catalogue = Catalogue();
  for (size_t c = 0; c < catalogue.size() && c < m_entryItems.size(); ++c) {
    for (size_t e = 0; e < catalogue[c].entries.size() && e < m_entryItems[c].size(); ++e)
      volume->*(catalogue[c].entries[e].pFlag) = m_pTree->GetCheck(m_entryItems[c][e]) == CHECK_CHECKED ? 1 : 0;
  }
}

// ---------------------------------------------------------------------------

CDeepScanWizard::CDeepScanWizard(QWidget* parent) : QWizard(parent) {
  setObjectName(QStringLiteral("deepScanWizard"));
  setWindowTitle(Tr("IDS_UI_DEEP_SCAN_RECOVERY_WIZARD", u"Deep Scan Recovery Wizard"));
  setWizardStyle(QWizard::ModernStyle);
  setPixmap(QWizard::LogoPixmap, icons::Program().pixmap(48, 48));
  setSizeGripEnabled(true);
  resize(560, 420);
}

void CDeepScanWizard::SetUp(bool showWelcome) {
  m_pStep0 = new CDeepScanStep0(this);
  m_pStep1 = new CDeepScanStep1(this);
  setPage(DEEPSCAN_PAGE_WELCOME, m_pStep0);
  setPage(DEEPSCAN_PAGE_TYPES, m_pStep1);
  setStartId(DEEPSCAN_PAGE_WELCOME);
  if (!showWelcome) {
    // Open on the type page with the welcome page behind it in the history, so that Back
    // still reaches it.
    restart();
    next();
  }
}

void CDeepScanWizard::accept() {
  if (currentId() == DEEPSCAN_PAGE_TYPES && m_pTarget && m_pStep1) m_pStep1->ApplyTypeSelection(m_pTarget);
  QWizard::accept();
}

// ---------------------------------------------------------------------------

nlohmann::json ScanSessionOptions(CLogicalDriver& volume) {
  bool scanDir = false;
  if (auto* fat = dynamic_cast<CFATDriver*>(&volume)) scanDir = fat->m_bScanDir;
  if (auto* exfat = dynamic_cast<CExFATDriver*>(&volume)) scanDir = exfat->m_bScanDir;
  return {{"types", ScanTypeNamesOf(volume)},
          {"first", volume.m_nFirstUnit},
          {"last", volume.m_nLastUnit},
          {"partition", 0},
          {"lost", ""},
          {"disk", dynamic_cast<CVirtualDriver*>(&volume) != nullptr},
          {"scan_dir", scanDir}};
}

bool ApplyScanSessionOptions(CLogicalDriver& volume, const nlohmann::json& options, std::string* error) {
  try {
    const uint64_t first = options.at("first").get<uint64_t>(), last = options.at("last").get<uint64_t>();
    // The units the volume has: sectors of a disk, clusters of a volume.
    const bool disk = dynamic_cast<CVirtualDriver*>(&volume) != nullptr;
    const uint64_t lowest = disk ? 0 : volume.m_nFirstUnit;
    const uint64_t highest = disk ? (volume.m_nClusterCount ? volume.m_nClusterCount - 1 : 0) : volume.m_nLastUnit;
    if (first > last || first < lowest || last > highest) {
      if (error) *error = "the session scans units " + std::to_string(first) + " to " + std::to_string(last) +
                          ", which this volume does not have";
      return false;
    }
    if (!ApplyScanTypeNames(volume, options.at("types").get<std::string>(), error)) return false;
    volume.m_nFirstUnit = first;
    volume.m_nLastUnit = last;
    const bool scanDir = options.at("scan_dir").get<bool>();
    if (auto* fat = dynamic_cast<CFATDriver*>(&volume)) fat->m_bScanDir = scanDir;
    if (auto* exfat = dynamic_cast<CExFATDriver*>(&volume)) exfat->m_bScanDir = scanDir;
  } catch (const nlohmann::json::exception&) {
    if (error) *error = "the session's scan options are damaged";
    return false;
  }
  return true;
}

void RunScanDialog(CDirectory* folder, QWidget* parent) {
  BeginFolderChange(folder);
  // The old results go; the folder counts as loaded again only when this scan finds
  // something.
  folder->m_children.clear();
  folder->m_bLoaded = false;
  CDeepScanningDlg dialog(folder, parent);
  dialog.exec();
  dialog.StopThread();  // the worker has ended here
  EndFolderChange(folder);
  if (auto* session = dynamic_cast<CScanSession*>(folder->m_pDriver->m_pScanJournal.get()))
    session->MarkEnded(dialog.m_bResult);
  dialog.ShowSummary(parent);
}

void RunDeepScan(CDirectory* folder, QWidget* parent) {
  if (!folder || !qApp || QThread::currentThread() != qApp->thread()) return;
  // A list that asks for the folder's children while its scan runs gets them as they stand;
  // it never starts a second wizard.
  static bool s_bRunning = false;
  if (s_bRunning) return;
  s_bRunning = true;

  bool finished;
  {
    CDeepScanWizard sheet(parent);
    sheet.m_pTarget = folder->m_pDriver;
    sheet.SetUp(TheApp().m_settings.DeepScanWizard != 0);
    finished = sheet.exec() == QDialog::Accepted;
  }
  if (finished) {
    // A new scan, recorded in a new session.
    CLogicalDriver* volume = folder->m_pDriver;
    ScanSource source;
    volume->m_pScanJournal.reset();
    if (DescribeScanSource(*volume, source, nullptr))
      volume->m_pScanJournal = std::make_shared<CScanSession>(std::string(), source, ScanSessionOptions(*volume));
    RunScanDialog(folder, parent);
  } else if (!folder->m_children.empty()) {
    folder->m_bLoaded = true;
  }
  s_bRunning = false;
}
