#include "ui/WelcomeWizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QRadioButton>
#include <QResizeEvent>
#include <QStyledItemDelegate>
#include <QThread>
#include <QVBoxLayout>

#include "app/App.h"
#include "app/Document.h"
#include "settings/Settings.h"
#include "device/Driver.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanWizard.h"
#include "ui/DeepScanningDlg.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/FSListCtrl.h"
#include "ui/KelvoView.h"
#include "ui/UiText.h"

namespace {

constexpr int kIconSize = 48;
constexpr int kTileWidth = 260;
constexpr int kTileHeight = kIconSize + 12;
constexpr int kHeaderHeight = 28;


// Paints the device list's tiles (icon on the left, the name and below it the size and
// file-system texts) and its group headers (the group's name over a rule the width of the
// list).
class CTileDelegate : public QStyledItemDelegate {
 public:
  explicit CTileDelegate(QListView* view) : QStyledItemDelegate(view), m_pView(view) {}

  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
    if (index.data(CDeviceListCtrl::HeaderRole).toBool())
      return {std::max(kTileWidth, m_pView->viewport()->width() - 2 * m_pView->spacing() - 2), kHeaderHeight};
    return {kTileWidth, kTileHeight};
  }

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    p->save();
    if (index.data(CDeviceListCtrl::HeaderRole).toBool()) {
      QFont font = opt.font;
      font.setBold(true);
      p->setFont(font);
      p->setPen(opt.palette.color(QPalette::Active, QPalette::Link));
      QRect text = opt.rect.adjusted(4, 0, -4, 0);
      QRect used;
      p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter, index.data(Qt::DisplayRole).toString(), &used);
      const int y = opt.rect.center().y() + 1;
      if (used.right() + 8 < text.right()) {
        p->setPen(opt.palette.color(QPalette::Mid));
        p->drawLine(used.right() + 8, y, text.right(), y);
      }
      p->restore();
      return;
    }
    opt.text.clear();
    opt.icon = QIcon();
    opt.showDecorationSelected = true;  // the whole tile shows the selection
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, p, widget);
    const bool selected = opt.state & QStyle::State_Selected;
    const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    QRect iconRect(opt.rect.left() + 4, opt.rect.top() + (opt.rect.height() - kIconSize) / 2, kIconSize, kIconSize);
    icon.paint(p, iconRect, Qt::AlignCenter, selected ? QIcon::Selected : QIcon::Normal);

    QRect text(iconRect.right() + 8, opt.rect.top() + 4, opt.rect.right() - iconRect.right() - 12,
               opt.rect.height() - 8);
    const QFontMetrics fm(opt.font);
    const QColor main = opt.palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text);
    QColor dim = main;
    if (!selected) dim = opt.palette.color(QPalette::Active, QPalette::PlaceholderText);
    const QString lines[3] = {index.data(Qt::DisplayRole).toString(),
                              index.data(CDeviceListCtrl::SizeRole).toString(),
                              index.data(CDeviceListCtrl::FileSystemRole).toString()};
    int y = text.top() + std::max(0, (text.height() - 3 * fm.height()) / 2);
    for (int i = 0; i < 3; ++i) {
      p->setPen(i == 0 ? main : dim);
      // A long name is mostly a path, whose end tells most.
      p->drawText(QRect(text.left(), y, text.width(), fm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                  fm.elidedText(lines[i], i == 0 ? Qt::ElideMiddle : Qt::ElideRight, text.width()));
      y += fm.height();
    }
    if (opt.state & QStyle::State_HasFocus) {
      QStyleOptionFocusRect focus;
      focus.QStyleOption::operator=(opt);
      focus.rect = opt.rect.adjusted(1, 1, -1, -1);
      focus.backgroundColor = opt.palette.color(selected ? QPalette::Highlight : QPalette::Base);
      style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p, widget);
    }
    p->restore();
  }

 private:
  QListView* m_pView;
};


}  // namespace

// ---------------------------------------------------------------------------

CWelcomeWizardStep0::CWelcomeWizardStep0(QWidget* parent) : QWizardPage(parent) {
  setObjectName(QStringLiteral("welcomePage"));
  setPixmap(QWizard::WatermarkPixmap, WizardWatermark());

  m_pTitle = MakeWelcomeTitle(Tr("IDS_WELCOME_TITLE", u"Welcome to the Recovery Wizard"), this);

  m_pBrowse = new QRadioButton(Tr("IDS_WELCOME_BROWSE", u"&Browse the drive for deleted files"), this);
  m_pBrowse->setObjectName(QStringLiteral("browseChoice"));
  m_pDeepScan = new QRadioButton(Tr("IDS_WELCOME_DEEP_SCAN", u"&Deep scan"), this);
  m_pDeepScan->setObjectName(QStringLiteral("deepScanChoice"));
  m_pBrowse->setChecked(true);
  auto* browseNote = WrappedText(
      Tr("IDS_WELCOME_BROWSE_NOTE",
         u"Fast: opens the drive's folders with the deleted items listed first. Fits when the files were "
         u"deleted recently and the drive was neither formatted nor damaged."),
      this);
  auto* deepNote = WrappedText(
      Tr("IDS_WELCOME_DEEP_SCAN_NOTE",
         u"Slow: reads the whole surface of the drive and finds files by their contents. Fits when browsing "
         u"does not show them, or the drive was formatted or is damaged."),
      this);
  for (QLabel* note : {browseNote, deepNote}) note->setIndent(24);

  m_pShowNext = new QCheckBox(Tr("IDS_SHOW_NEXT", u"Show this screen next time"), this);
  m_pShowNext->setObjectName(QStringLiteral("showNextCheck"));
  m_pShowNext->setChecked(TheApp().m_settings.RecoveryWizard != 0);
  connect(m_pShowNext, &QCheckBox::clicked, this, &CWelcomeWizardStep0::OnShowNextClicked);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pTitle);
  layout->addSpacing(14);
  layout->addWidget(WrappedText(Tr("IDS_WELCOME_INTRO",
                                   u"The Tarnwell Quarrow Recovery Wizard will guide you through recovering files "
                                   u"from a drive. You need no technical knowledge: just follow its steps."),
                                this));
  layout->addSpacing(10);
  layout->addWidget(m_pBrowse);
  layout->addWidget(browseNote);
  layout->addSpacing(6);
  layout->addWidget(m_pDeepScan);
  layout->addWidget(deepNote);
  layout->addStretch(1);
  layout->addWidget(WrappedText(Tr("IDS_TO_BEGIN", u"To begin, click 'Next'."), this));
  layout->addSpacing(6);
  layout->addWidget(m_pShowNext);
}

bool CWelcomeWizardStep0::Browse() const { return m_pBrowse->isChecked(); }

void CWelcomeWizardStep0::OnShowNextClicked(bool checked) {
  TheApp().m_settings.RecoveryWizard = checked ? 1 : 0;
  SaveSettingsOrWarn();
}

// ---------------------------------------------------------------------------

CDeviceListCtrl::CDeviceListCtrl(QWidget* parent) : QListWidget(parent) {
  setObjectName(QStringLiteral("deviceList"));
  setViewMode(QListView::IconMode);
  setFlow(QListView::LeftToRight);
  setWrapping(true);
  setMovement(QListView::Static);
  setResizeMode(QListView::Adjust);
  setSpacing(4);
  setIconSize(QSize(kIconSize, kIconSize));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setDragEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformItemSizes(false);
  setItemDelegate(new CTileDelegate(this));
}

QString CDeviceListCtrl::GroupName(int group) {
  switch (group) {
    case DEVICE_GROUP_FIXED: return Tr("IDS_UI_HARD_DISK_DRIVES", u"Hard Disk Drives");
    case DEVICE_GROUP_REMOVABLE: return Tr("IDS_UI_REMOVABLE_DISK_DRIVES", u"Removable Disk Drives");
    default: return Tr("IDS_UI_PHYSICAL_DRIVES", u"Physical Drives");
  }
}

bool CDeviceListCtrl::IsHeader(const QListWidgetItem* item) { return item && item->data(HeaderRole).toBool(); }

CLogicalDriver* CDeviceListCtrl::DeviceOf(const QListWidgetItem* item) {
  if (!item || IsHeader(item)) return nullptr;
  return static_cast<CLogicalDriver*>(item->data(DeviceRole).value<void*>());
}

QListWidgetItem* CDeviceListCtrl::GroupHeader(int group) const {
  for (int row = 0; row < count(); ++row)
    if (IsHeader(item(row)) && item(row)->data(GroupRole).toInt() == group) return item(row);
  return nullptr;
}

QListWidgetItem* CDeviceListCtrl::AddDevice(CLogicalDriver* device, int group, const QIcon& icon, const QString& name,
                                            const QString& size, const QString& fileSystem) {
  // Groups are shown in their id order, each headed by its header, items in insertion order.
  int row = count();
  for (int r = 0; r < count(); ++r) {
    if (item(r)->data(GroupRole).toInt() > group) {
      row = r;
      break;
    }
  }
  if (!GroupHeader(group)) {
    auto* header = new QListWidgetItem(GroupName(group));
    header->setData(HeaderRole, true);
    header->setData(GroupRole, group);
    header->setFlags(Qt::NoItemFlags);
    insertItem(row++, header);
  }
  auto* item = new QListWidgetItem(icon, name);
  item->setData(DeviceRole, QVariant::fromValue(static_cast<void*>(device)));
  item->setData(GroupRole, group);
  item->setData(SizeRole, size);
  item->setData(FileSystemRole, fileSystem);
  item->setToolTip(QStringLiteral("%1\n%2 %3").arg(name, size, fileSystem));
  insertItem(row, item);
  return item;
}

void CDeviceListCtrl::resizeEvent(QResizeEvent* event) {
  QListWidget::resizeEvent(event);
  FitHeaders();
}

void CDeviceListCtrl::FitHeaders() {
  // The headers span the list's width (their size comes from the delegate): lay out again.
  scheduleDelayedItemsLayout();
}

// ---------------------------------------------------------------------------

CWelcomeWizardStep1::CWelcomeWizardStep1(CKelvoDoc* doc, QWidget* parent) : QWizardPage(parent), m_pDoc(doc) {
  setObjectName(QStringLiteral("devicePage"));
  setTitle(Tr("IDS_UI_SELECT_THE_STORAGE_DEVICE_TO_BE", u"Select the storage device to be scanned"));
  setSubTitle(Tr("IDS_UI_RECOVERABLE_FILES_WILL_BE_SEARCHED_FOR", u"Recoverable files will be searched for on the selected storage device. To continue, select "
                             u"the storage device and click 'Next'."));
  m_pList = new CDeviceListCtrl(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pList);
  FillList();
}

bool CWelcomeWizardStep1::Browsing() const {
  auto* sheet = qobject_cast<CWelcomeWizard*>(wizard());
  return sheet && sheet->m_pStep0 && sheet->m_pStep0->Browse();
}

int CWelcomeWizardStep1::nextId() const { return Browsing() ? -1 : WELCOME_PAGE_TYPES; }

void CWelcomeWizardStep1::FillList() {
  m_pList->clear();
  if (!m_pDoc) return;
  QListWidgetItem* first = nullptr;
  auto add = [&](CLogicalDriver* device, int group, const QIcon& icon, const QString& fileSystem) {
    QListWidgetItem* item =
        m_pList->AddDevice(device, group, icon, VolumeDisplayName(*device), Q(device->GetSizeText()), fileSystem);
    if (!first) first = item;
  };
  for (const auto& volume : m_pDoc->Volumes()) {
    if (!volume) continue;
    const bool removable = volume->m_nDriveType == DRIVE_REMOVABLE;
    add(volume.get(), removable ? DEVICE_GROUP_REMOVABLE : DEVICE_GROUP_FIXED,
        removable ? icons::RemovableVolume() : icons::FixedVolume(), Q(volume->GetFileSystemText()));
  }
  // A whole disk has no folders to browse; it is only deep-scanned.
  if (!m_bBrowsing)
    for (const auto& disk : m_pDoc->VirtualVolumes())
      if (disk) add(disk.get(), DEVICE_GROUP_DISKS, icons::Disks(), QStringLiteral("VIRTUAL FS"));
  if (first) {
    m_pList->setFocus();
    m_pList->setCurrentItem(first);
  }
}

void CWelcomeWizardStep1::initializePage() {
  if (Browsing() != m_bBrowsing) {
    m_bBrowsing = Browsing();
    FillList();
  }
  if (m_pList->currentItem()) m_pList->setFocus();
}

CLogicalDriver* CWelcomeWizardStep1::GetSelectedDevice() const {
  const QList<QListWidgetItem*> selected = m_pList->selectedItems();
  for (QListWidgetItem* item : selected)
    if (CLogicalDriver* device = CDeviceListCtrl::DeviceOf(item)) return device;
  return nullptr;
}

bool CWelcomeWizardStep1::validatePage() {
  if (GetSelectedDevice()) return true;
  QMessageBox::warning(this, wizard() ? wizard()->windowTitle() : QString(),
                       Tr("IDS_UI_PLEASE_SELECT_A_STORAGE_DEVICE_TO", u"Please select a storage device to scan."));
  return false;
}

// ---------------------------------------------------------------------------

CWelcomeWizard::CWelcomeWizard(CKelvoDoc* doc, QWidget* parent) : QWizard(parent) {
  setObjectName(QStringLiteral("welcomeWizard"));
  setWindowTitle(Tr("IDS_UI_TARNWELL_QUARROW_RECOVERY_WIZARD", u"Tarnwell Quarrow Recovery Wizard"));
  setWizardStyle(QWizard::ModernStyle);
  setPixmap(QWizard::LogoPixmap, icons::Program().pixmap(48, 48));
  setSizeGripEnabled(true);
  m_pStep0 = new CWelcomeWizardStep0(this);
  m_pStep1 = new CWelcomeWizardStep1(doc, this);
  m_pStep2 = new CDeepScanStep1(this);
  setPage(WELCOME_PAGE_WELCOME, m_pStep0);
  setPage(WELCOME_PAGE_DEVICES, m_pStep1);
  setPage(WELCOME_PAGE_TYPES, m_pStep2);
  setStartId(WELCOME_PAGE_WELCOME);
  resize(620, 460);
}

void CWelcomeWizard::accept() {
  if (currentId() == WELCOME_PAGE_DEVICES && m_pStep0->Browse()) {
    m_pDevice = m_pStep1->GetSelectedDevice();
    m_bBrowse = m_pDevice != nullptr;
    if (m_pDevice) GuiApp().m_strSourceDevice = m_pDevice->m_source.strPath;
  }
  if (currentId() == WELCOME_PAGE_TYPES) {
    m_pDevice = m_pStep1->GetSelectedDevice();
    if (m_pDevice) {
      m_pStep2->ApplyTypeSelection(m_pDevice);
      // The recovery wizard warns when a destination lies on this device.
      GuiApp().m_strSourceDevice = m_pDevice->m_source.strPath;
    }
  }
  QWizard::accept();
}

// ---------------------------------------------------------------------------

bool RunWelcomeWizard(QWidget* parent, CKelvoDoc* doc, CFoldersTreeDlg* treePane) {
  if (!doc || !qApp || QThread::currentThread() != qApp->thread()) return false;
  CLogicalDriver* device = nullptr;
  bool browse = false;
  {
    CWelcomeWizard sheet(doc, parent);
    if (sheet.exec() != QDialog::Accepted) return false;
    device = sheet.m_pDevice;
    browse = sheet.m_bBrowse;
  }
  if (browse) {
    // The drive opens in the tree with its deleted items first: the status column ascending
    // lists Poor, Good and Excellent before Existing.
    if (!device || !device->m_pRoot || !treePane || !treePane->SelectNode(device->m_pRoot)) return false;
    if (CFSListCtrl* list = GuiApp().m_pView ? GuiApp().m_pView->List() : nullptr) {
      CFSListModel* model = list->Model();
      for (int c = 0; c < model->columnCount(); ++c)
        if (model->ColumnKey(c) == EListColumn::Status) model->Sort(c, Qt::AscendingOrder);
    }
    return true;
  }
  if (!device || !device->m_pLostFolder) return false;
  CDirectory* folder = device->m_pLostFolder;

  QTreeWidgetItem* folderItem = nullptr;
  if (treePane) {
    CFSTreeCtrl* tree = treePane->Tree();
    QTreeWidgetItem* volumeItem = tree->FindVolumeItem(device);
    folderItem = volumeItem ? tree->FindLostFolderItem(volumeItem, device) : nullptr;
    if (!folderItem) return false;
  }

  StopRunningSearch();  // a search worker may be reading this volume
  if (folderItem) {
    // A folder among the old results (a lost folder of a FAT volume) may be selected: the
    // selection moves to the volume first, so that nothing shows a folder about to go.
    CFSTreeCtrl* tree = treePane->Tree();
    for (QTreeWidgetItem* item = tree->currentItem(); item; item = item->parent()) {
      if (item->parent() == folderItem) {
        tree->setCurrentItem(folderItem->parent());
        break;
      }
    }
  }
  BeginFolderChange(folder);
  // The old results go, and with them the tree items showing folders among them, so that no
  // item is left pointing at a destroyed folder.
  if (folderItem) qDeleteAll(folderItem->takeChildren());
  folder->m_children.clear();
  folder->m_bLoaded = false;
  CDeepScanningDlg dialog(folder, parent);
  dialog.exec();
  dialog.StopThread();  // the worker has ended here
  // Loaded even when nothing was found: opening the folder then shows it empty instead of
  // asking for a second scan.
  folder->m_bLoaded = true;
  EndFolderChange(folder);
  if (folderItem)
    folderItem->setChildIndicatorPolicy(folder->HasSubfolders(true) ? QTreeWidgetItem::ShowIndicator
                                                                    : QTreeWidgetItem::DontShowIndicatorWhenChildless);
  if (treePane) treePane->SelectNode(folder);
  dialog.ShowSummary(parent);
  return true;
}
