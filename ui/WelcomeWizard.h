// The welcome wizard ("Tarnwell Quarrow Recovery Wizard"), shown after start-up while the
// RecoveryWizard setting is non-zero: a welcome page offering two paths (browse the drive, or
// deep-scan it), a page listing the document's volumes (and, for a deep scan, disks) as
// tiles, and the deep scan's type page. Browsing opens the chosen volume in the navigation
// tree with its deleted items first; a deep scan fills the device's results folder
// ("LostFiles") and selects that folder.
#pragma once

#include <QListWidget>
#include <QWizard>
#include <QWizardPage>

class CDeepScanStep1;
class CFoldersTreeDlg;
class CKelvoDoc;
class CLogicalDriver;
class QCheckBox;
class QLabel;
class QRadioButton;

// Page ids of the wizard.
enum : int { WELCOME_PAGE_WELCOME = 0, WELCOME_PAGE_DEVICES = 1, WELCOME_PAGE_TYPES = 2 };

// Groups of the device list, in the order they are shown.
enum : int { DEVICE_GROUP_FIXED = 1, DEVICE_GROUP_REMOVABLE = 2, DEVICE_GROUP_DISKS = 3 };

// The welcome page: texts, and "Show this screen next", which mirrors the RecoveryWizard
// setting and writes all settings at once when clicked.
class CWelcomeWizardStep0 : public QWizardPage {
  Q_OBJECT
 public:
  explicit CWelcomeWizardStep0(QWidget* parent = nullptr);

  // Whether the user chose to browse the drive (the default) rather than deep-scan it.
  bool Browse() const;

  QLabel* m_pTitle = nullptr;
  QRadioButton* m_pBrowse = nullptr;    // "Browse the drive for deleted files"
  QRadioButton* m_pDeepScan = nullptr;  // "Deep scan"
  QCheckBox* m_pShowNext = nullptr;

 private slots:
  void OnShowNextClicked(bool checked);
};

// The device list in tile view: 48x48 icons, the name with the size and file-system texts
// beside it, items grouped under full-width group headers that cannot be selected.
class CDeviceListCtrl : public QListWidget {
  Q_OBJECT
 public:
  explicit CDeviceListCtrl(QWidget* parent = nullptr);

  // Item data roles: the device (CLogicalDriver*), the group id, and whether the item is a
  // group header; the size and file-system texts.
  enum : int { DeviceRole = Qt::UserRole + 1, GroupRole, HeaderRole, SizeRole, FileSystemRole };

  // Adds a device to its group (the group's header is made with its first item); answers
  // the item.
  QListWidgetItem* AddDevice(CLogicalDriver* device, int group, const QIcon& icon, const QString& name,
                             const QString& size, const QString& fileSystem);
  // The header item of a group, or null while the group is empty.
  QListWidgetItem* GroupHeader(int group) const;
  static QString GroupName(int group);
  static bool IsHeader(const QListWidgetItem* item);
  static CLogicalDriver* DeviceOf(const QListWidgetItem* item);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FitHeaders();
};

// The device page: every volume of the document under "Hard Disk Drivers" or "Removeable
// Disk Drives", then every disk's virtual volume under "Physical Drives"; the first item is
// selected when the page opens. Next without a selection shows "Please select a storage
// device to scan" and stays.
class CWelcomeWizardStep1 : public QWizardPage {
  Q_OBJECT
 public:
  CWelcomeWizardStep1(CKelvoDoc* doc, QWidget* parent = nullptr);

  // Refills the list from the document.
  void FillList();
  // The device of the first selected item, or null.
  CLogicalDriver* GetSelectedDevice() const;

  // Browsing lists the volumes only and ends here; a deep scan goes on to the type page.
  void initializePage() override;
  bool validatePage() override;
  int nextId() const override;

  CDeviceListCtrl* m_pList = nullptr;

 private:
  bool Browsing() const;
  CKelvoDoc* m_pDoc;
  bool m_bBrowsing = false;  // the list was filled for browsing
};

// The sheet. m_pDevice (not owned) is the device chosen when the wizard was finished on the
// type page, which then holds the type selection; null otherwise.
class CWelcomeWizard : public QWizard {
  Q_OBJECT
 public:
  CWelcomeWizard(CKelvoDoc* doc, QWidget* parent = nullptr);

  void accept() override;

  CLogicalDriver* m_pDevice = nullptr;
  bool m_bBrowse = false;  // m_pDevice is to be browsed, not scanned
  CWelcomeWizardStep0* m_pStep0 = nullptr;
  CWelcomeWizardStep1* m_pStep1 = nullptr;
  CDeepScanStep1* m_pStep2 = nullptr;
};

// Runs the wizard modally. When it is finished with a device chosen: the device's path
// becomes GuiApp().m_strSourceDevice; the results folder of the device is emptied (between
// BeginFolderChange and EndFolderChange, and with its items in treePane removed) and the deep
// scan refills it behind the progress dialog; the folder is then marked loaded and, when
// treePane is given, selected in it, and the scan's summary is shown. With treePane given, a
// device whose item or results-folder item the tree does not show is not scanned. When the
// user chose to browse, the volume's root is selected in treePane and the list sorted by
// status. Answers whether a scan ran or the volume was opened.
// Does nothing off the GUI thread.
bool RunWelcomeWizard(QWidget* parent, CKelvoDoc* doc, CFoldersTreeDlg* treePane);
