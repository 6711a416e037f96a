#include "ui/PropertiesDlg.h"
#include "ui/UiText.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <memory>

#include "tree/DirEntry.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/TranslateDialog.h"

namespace {

const QString kAppTitle = QStringLiteral("Tarnwell Quarrow");

// Control ids of the General page's check boxes (dialog 153).
enum : int {
  IDC_READONLY = 1014,
  IDC_HIDDEN = 1015,
  IDC_ARCHIVE = 1016,
};

// Attribute bits of a node (the FAT and NTFS attribute byte).
enum : uint32_t { ATTR_READONLY = 0x01, ATTR_HIDDEN = 0x02, ATTR_ARCHIVE = 0x20 };

// A check box that shows a state and cannot be changed by the user (click, space or its
// mnemonic): the page only displays the item.
class CDisplayCheckBox : public QCheckBox {
 public:
  using QCheckBox::QCheckBox;

 protected:
  void nextCheckState() override {}
};

// A field that shows a text the way a dialog shows read-only data: no frame, the page's
// background, selectable for copying.
void MakeDisplayField(QLineEdit* edit) {
  edit->setReadOnly(true);
  edit->setFrame(false);
  QPalette pal = edit->palette();
  pal.setColor(QPalette::Base, Qt::transparent);
  edit->setPalette(pal);
}

QFrame* Separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

void SetField(QLineEdit* edit, const std::u16string& text) {
  edit->setText(Q(text));
  edit->setCursorPosition(0);  // long paths show their beginning
}

QString PropertiesHelp() {
  const QString text = Tr("IDS_UI_THE_GENERAL_PAGE_SHOWS_THE_SELECTED", u"The General page shows the selected item as it was found on the drive: its name and type, the "
      u"folder that holds it, its size and the space it takes on the drive, its times and its "
      u"attributes. Nothing on this page changes the item.\n\n"
      u"Status tells how likely the item comes back whole when it is recovered:\n"
      u"Existing: the item was not deleted.\n"
      u"Excellent: the data at the item's place on the drive begins as a file of its type and "
      u"length would.\n"
      u"Good: nothing shows that the data was overwritten, but it could not be checked.\n"
      u"Poor: the item's place on the drive is used by something else, or does not hold a file "
      u"of its type: expect the recovered file to be damaged.");
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// The sheet.

CFilePropertySheet::CFilePropertySheet(const QString& caption, int buttons, QWidget* parent) : QDialog(parent) {
  setWindowTitle(caption);
  m_pTabs = new QTabWidget(this);
  m_pTabs->setObjectName(QStringLiteral("pages"));

  QDialogButtonBox::StandardButtons standard;
  if (buttons & ButtonOk) standard |= QDialogButtonBox::Ok;
  if (buttons & ButtonCancel) standard |= QDialogButtonBox::Cancel;
  if (buttons & ButtonApply) standard |= QDialogButtonBox::Apply;
  if (buttons & ButtonHelp) standard |= QDialogButtonBox::Help;
  m_pButtons = new QDialogButtonBox(standard, this);
  m_pButtons->setObjectName(QStringLiteral("buttons"));
  connect(m_pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_pButtons, &QDialogButtonBox::helpRequested, this, &CFilePropertySheet::HelpClicked);
  if (QPushButton* apply = m_pButtons->button(QDialogButtonBox::Apply))
    connect(apply, &QPushButton::clicked, this, &CFilePropertySheet::ApplyClicked);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pTabs, 1);
  layout->addWidget(m_pButtons);
}

void CFilePropertySheet::AddPage(QWidget* page, const QString& title) { m_pTabs->addTab(page, title); }

QPushButton* CFilePropertySheet::Button(Buttons which) const {
  switch (which) {
    case ButtonOk: return m_pButtons->button(QDialogButtonBox::Ok);
    case ButtonCancel: return m_pButtons->button(QDialogButtonBox::Cancel);
    case ButtonApply: return m_pButtons->button(QDialogButtonBox::Apply);
    case ButtonHelp: return m_pButtons->button(QDialogButtonBox::Help);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The General page.

CFilePropertyPage::CFilePropertyPage(CDirEntry* node, QWidget* parent) : QWidget(parent), m_pNode(node) {
  setWindowTitle(Tr("IDS_UI_GENERAL", u"General"));
  auto* grid = new QGridLayout(this);
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(16);

  m_pIcon = new QLabel(this);
  m_pIcon->setObjectName(QStringLiteral("icon"));
  m_pIcon->setFixedSize(32, 32);
  m_pItemName = new QLineEdit(this);
  m_pItemName->setObjectName(QStringLiteral("itemName"));
  m_pItemName->setReadOnly(true);
  grid->addWidget(m_pIcon, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
  grid->addWidget(m_pItemName, 0, 1);

  grid->addWidget(Separator(this), 1, 0, 1, 2);
  m_pType = AddField(grid, 2, Tr("IDS_UI_TYPE_2", u"Type:"), "type");
  m_pStatus = AddField(grid, 3, Tr("IDS_UI_STATUS_2", u"Status:"), "status");
  // Why the status is what it is, under the word; hidden for existing items.
  m_pStatusReason = new QLabel(this);
  m_pStatusReason->setObjectName(QStringLiteral("statusReason"));
  m_pStatusReason->setWordWrap(true);
  m_pStatusReason->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(m_pStatusReason, 4, 1);
  grid->addWidget(Separator(this), 5, 0, 1, 2);
  m_pLocation = AddField(grid, 6, Tr("IDS_UI_LOCATION", u"Location:"), "location");
  m_pSize = AddField(grid, 7, Tr("IDS_UI_SIZE_2", u"Size:"), "size");
  m_pSizeOnDisk = AddField(grid, 8, Tr("IDS_UI_SIZE_ON_DISK", u"Size on disk:"), "sizeOnDisk");
  grid->addWidget(Separator(this), 9, 0, 1, 2);
  m_pCreated = AddField(grid, 10, Tr("IDS_UI_CREATED", u"Created:"), "created");
  m_pModified = AddField(grid, 11, Tr("IDS_UI_MODIFIED_2", u"Modified:"), "modified");
  m_pAccessed = AddField(grid, 12, Tr("IDS_UI_ACCESSED", u"Accessed:"), "accessed");
  grid->addWidget(Separator(this), 13, 0, 1, 2);

  auto* attributes = new QLabel(Tr("IDS_UI_ATTRIBUTES", u"Attributes:"), this);
  attributes->setObjectName(QStringLiteral("attributesLabel"));
  SetControlId(attributes, kSharedLabelId);
  m_pReadOnly = new CDisplayCheckBox(Tr("IDS_UI_READ_ONLY", u"&Read-only"), this);
  m_pReadOnly->setObjectName(QStringLiteral("readOnly"));
  SetControlId(m_pReadOnly, IDC_READONLY);
  m_pHidden = new CDisplayCheckBox(Tr("IDS_UI_HIDDEN", u"&Hidden"), this);
  m_pHidden->setObjectName(QStringLiteral("hidden"));
  SetControlId(m_pHidden, IDC_HIDDEN);
  m_pArchive = new CDisplayCheckBox(Tr("IDS_UI_ARCHIVE", u"&Archive"), this);
  m_pArchive->setObjectName(QStringLiteral("archive"));
  SetControlId(m_pArchive, IDC_ARCHIVE);
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(m_pReadOnly);
  boxes->addWidget(m_pHidden);
  boxes->addWidget(m_pArchive);
  boxes->addStretch(1);
  grid->addWidget(attributes, 14, 0);
  grid->addLayout(boxes, 14, 1);
  grid->setRowStretch(15, 1);
  setMinimumWidth(400);
}

QLineEdit* CFilePropertyPage::AddField(QGridLayout* grid, int row, const QString& label, const char* name) {
  // The labels have no id of their own; the fields show data and are not translated.
  auto* text = new QLabel(label, this);
  text->setObjectName(QString::fromLatin1(name) + Tr("IDS_UI_LABEL", u"Label"));
  SetControlId(text, kSharedLabelId);
  auto* field = new QLineEdit(this);
  field->setObjectName(QString::fromLatin1(name));
  MakeDisplayField(field);
  grid->addWidget(text, row, 0);
  grid->addWidget(field, row, 1);
  return field;
}

void CFilePropertyPage::Open() {
  if (m_pNode) {
    CDirEntry& node = *m_pNode;
    QIcon icon = node.IsDirectory() ? icons::Folder() : icons::ForFileName(Q(node.m_strName));
    if (node.m_bDeleted) icon = icons::Deleted(icon);
    QPixmap pixmap = icon.pixmap(32, 32);
    if (!pixmap.isNull()) m_pIcon->setPixmap(pixmap);  // without an icon the label stays as it was

    SetField(m_pItemName, node.m_strName);
    SetField(m_pType, node.GetTypeText());
    SetField(m_pStatus, node.GetStatusText());
    const QString reason = Q(node.GetStatusReasonText());
    m_pStatusReason->setText(reason);
    m_pStatusReason->setVisible(!reason.isEmpty());
    m_pStatus->setToolTip(reason);
    SetField(m_pLocation, node.GetFullPath());
    SetField(m_pSize, node.GetSizeText(true));
    SetField(m_pSizeOnDisk, node.GetAllocatedSizeText(true));
    SetField(m_pCreated, node.GetCreatedText());
    SetField(m_pModified, node.GetModifiedText());
    SetField(m_pAccessed, node.GetAccessedText());
    m_pArchive->setChecked(node.m_dwAttributes & ATTR_ARCHIVE);
    m_pHidden->setChecked(node.m_dwAttributes & ATTR_HIDDEN);
    m_pReadOnly->setChecked(node.m_dwAttributes & ATTR_READONLY);
  }
  TranslateDialog(this, kDialogId);
}

// ---------------------------------------------------------------------------
// The command.

CFilePropertySheet* CreatePropertiesDialog(QWidget* parent, CDirEntry* node) {
  if (!node) return nullptr;
  auto* sheet = new CFilePropertySheet(Tr("IDS_UI_PROPERTIES", u"Properties"),
                                       CFilePropertySheet::ButtonOk | CFilePropertySheet::ButtonHelp, parent);
  sheet->setObjectName(QStringLiteral("propertiesSheet"));
  auto* page = new CFilePropertyPage(node);
  page->setObjectName(QStringLiteral("generalPage"));
  sheet->AddPage(page, page->windowTitle());
  page->Open();
  QObject::connect(sheet, &CFilePropertySheet::HelpClicked, sheet, [sheet] { ShowPageHelp(sheet, PropertiesHelp()); });
  return sheet;
}

void ShowPropertiesDialog(QWidget* parent, CDirEntry* node) {
  std::unique_ptr<CFilePropertySheet> sheet(CreatePropertiesDialog(parent, node));
  if (sheet) sheet->exec();
}

void ShowPageHelp(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Information, kAppTitle, text, QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("pageHelp"));
  box.exec();
}
