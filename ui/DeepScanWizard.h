// The deep-scan wizard: a welcome page (which the user can switch off) and a page on which
// the file types to look for are checked; finishing it with "Start Scan" copies the checked
// types into the volume's type flags, empties the results folder and runs the scan behind
// CDeepScanningDlg.
#pragma once

#include <nlohmann/json.hpp>

#include <QWizard>
#include <QWizardPage>
#include <vector>

class CDirectory;
class CLogicalDriver;
class CMutiTreeCtrl;
class QCheckBox;
class QLabel;
class QTreeWidgetItem;

// Page ids of the wizard.
enum : int { DEEPSCAN_PAGE_WELCOME = 0, DEEPSCAN_PAGE_TYPES = 1 };

// The welcome page: texts, and "Show this screen next", which mirrors the DeepScanWizard
// setting and writes all settings at once when clicked.
class CDeepScanStep0 : public QWizardPage {
  Q_OBJECT
 public:
  explicit CDeepScanStep0(QWidget* parent = nullptr);

  QLabel* m_pTitle = nullptr;
  QCheckBox* m_pShowNext = nullptr;

 private slots:
  void OnShowNextClicked(bool checked);
};

// The type page: the catalogue as a tree of categories and entries with three-state check
// boxes, opened with the catalogue's defaults (only the first category expanded). Also used
// by the welcome wizard as its last page.
class CDeepScanStep1 : public QWizardPage {
  Q_OBJECT
 public:
  // Whenever the page is active, the finish button reads "Start Scan".
  explicit CDeepScanStep1(QWidget* parent = nullptr);

  // Sets every type flag of volume: 1 when its entry is checked, 0 otherwise.
  void ApplyTypeSelection(CLogicalDriver* volume) const;

  CMutiTreeCtrl* m_pTree = nullptr;
  // The tree items of the catalogue, in catalogue order: one per category, and per category
  // one per entry.
  std::vector<QTreeWidgetItem*> m_categoryItems;
  std::vector<std::vector<QTreeWidgetItem*>> m_entryItems;
};

// The sheet. The target volume (not owned) receives the type selection when Finish is
// pressed on the type page.
class CDeepScanWizard : public QWizard {
  Q_OBJECT
 public:
  explicit CDeepScanWizard(QWidget* parent = nullptr);

  // Builds both pages (ids DEEPSCAN_PAGE_WELCOME and DEEPSCAN_PAGE_TYPES) and makes the
  // wizard open on the welcome page when showWelcome is set, otherwise on the type page, from
  // which Back still leads to the welcome page.
  void SetUp(bool showWelcome);

  void accept() override;

  CLogicalDriver* m_pTarget = nullptr;
  CDeepScanStep0* m_pStep0 = nullptr;
  CDeepScanStep1* m_pStep1 = nullptr;
};

// The deep scan of a volume's results folder ("LostFiles"), reached through the folder's
// LoadChildren; the main window installs it through its front-end hooks. Shows the wizard; on
// "Start Scan" the folder's children are destroyed (between BeginFolderChange and
// EndFolderChange) and the scan refills it behind the progress dialog; the folder is marked
// loaded when something was found. On Cancel a folder that already holds results is marked
// loaded, so that its old results are shown without asking again; an empty folder stays not
// loaded and asks again the next time. Does nothing off the GUI thread, where no window can
// be shown (a worker that needs the folder's children gets it as it stands).
void RunDeepScan(CDirectory* resultsFolder, QWidget* parent = nullptr);
// Runs the scan into the results folder with the scanning dialog (the wizard's settings, or a
// session's, already on the volume), then shows its summary. The scan is recorded in the
// volume's journal: a session being resumed, or a new one "Save Scan..." can write.
void RunScanDialog(CDirectory* resultsFolder, QWidget* parent);
// The options a session records for a scan of volume as it is set now.
nlohmann::json ScanSessionOptions(CLogicalDriver& volume);
// Puts a session's options on volume; false with *error when they do not fit it.
bool ApplyScanSessionOptions(CLogicalDriver& volume, const nlohmann::json& options, std::string* error);

// Pieces the welcome pages of the wizards share: the side picture, the large title and a
// block of wrapped text.
QPixmap WizardWatermark();
QLabel* MakeWelcomeTitle(const QString& text, QWidget* parent);
QLabel* WrappedText(const QString& text, QWidget* parent);
