// The property sheet (a caption, tabbed pages, and a row of OK, Cancel, Apply and Help
// buttons, each shown only when asked for), the file properties page, and the Properties
// command's window.
#pragma once

#include <QDialog>
#include <QString>

class CDirEntry;
class QCheckBox;
class QDialogButtonBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

// A modal sheet of pages. The sheet does not own what the pages show.
class CFilePropertySheet : public QDialog {
  Q_OBJECT
 public:
  enum Buttons : int { ButtonOk = 1, ButtonCancel = 2, ButtonApply = 4, ButtonHelp = 8 };

  CFilePropertySheet(const QString& caption, int buttons, QWidget* parent = nullptr);

  // Appends a page (the sheet takes it) under the tab text.
  void AddPage(QWidget* page, const QString& title);
  QTabWidget* Tabs() const { return m_pTabs; }
  // The button asked for, or null when the sheet has none of that kind.
  QPushButton* Button(Buttons which) const;

 signals:
  void ApplyClicked();
  void HelpClicked();

 private:
  QTabWidget* m_pTabs;
  QDialogButtonBox* m_pButtons;
};

// The "General" page of the file properties (dialog 153): the item's icon and name, type,
// recovery status, location, sizes, times and attributes. It only displays: nothing on it
// changes the item.
class CFilePropertyPage : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kDialogId = 153;

  explicit CFilePropertyPage(CDirEntry* node, QWidget* parent = nullptr);

  // Takes the node's texts and translates the page; called once the page is on its sheet
  // (the translated caption goes to its tab). The page does not follow later changes.
  void Open();

  CDirEntry* Node() const { return m_pNode; }

 private:
  QLineEdit* AddField(QGridLayout* grid, int row, const QString& label, const char* name);

  CDirEntry* m_pNode;  // not owned
  QLabel* m_pIcon = nullptr;
  QLineEdit* m_pItemName = nullptr;
  QLineEdit* m_pType = nullptr;
  QLineEdit* m_pStatus = nullptr;
  QLabel* m_pStatusReason = nullptr;
  QLineEdit* m_pLocation = nullptr;
  QLineEdit* m_pSize = nullptr;
  QLineEdit* m_pSizeOnDisk = nullptr;
  QLineEdit* m_pCreated = nullptr;
  QLineEdit* m_pModified = nullptr;
  QLineEdit* m_pAccessed = nullptr;
  QCheckBox* m_pReadOnly = nullptr;
  QCheckBox* m_pHidden = nullptr;
  QCheckBox* m_pArchive = nullptr;
};

// Builds the "Properties" sheet of one node with its General page opened: OK and Help, no
// Apply. The caller owns the sheet. Null for a null node.
CFilePropertySheet* CreatePropertiesDialog(QWidget* parent, CDirEntry* node);

// The Properties command's window: shows the node's properties modally. Does nothing for a
// null node.
void ShowPropertiesDialog(QWidget* parent, CDirEntry* node);

// Shows a help text for a page of a sheet, in a message box titled with the program's name.
void ShowPageHelp(QWidget* parent, const QString& text);
