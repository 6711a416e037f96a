#include "ui/FoldersTree.h"

#include <QApplication>
#include <QBrush>
#include <QPalette>
#include <QVBoxLayout>
#include <sys/stat.h>

#include "app/Document.h"
#include "device/Driver.h"
#include "tree/DirEntry.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/UiText.h"

namespace {
constexpr int kNodeRole = Qt::UserRole + 1;
}

CFSTreeCtrl::CFSTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
  setObjectName(QStringLiteral("folderTree"));
  setHeaderHidden(true);
  setColumnCount(1);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setDragEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformRowHeights(true);
  // A volume of an image is named by its path: keep its file name and label in sight.
  setTextElideMode(Qt::ElideMiddle);
  connect(this, &QTreeWidget::itemExpanded, this, &CFSTreeCtrl::ExpandInTree);
}

CDirectory* CFSTreeCtrl::NodeOf(const QTreeWidgetItem* item) {
  return item ? static_cast<CDirectory*>(item->data(0, kNodeRole).value<void*>()) : nullptr;
}

QTreeWidgetItem* CFSTreeCtrl::InsertTopItem(const QString& text, const QIcon& icon) {
  auto* item = new QTreeWidgetItem(this, QStringList{text});
  item->setIcon(0, icon);
  return item;
}

QTreeWidgetItem* CFSTreeCtrl::InsertNode(QTreeWidgetItem* parent, CDirectory* node, const QIcon& icon, bool hasChildren) {
  auto* item = new QTreeWidgetItem(parent, QStringList{Q(node->m_strName)});
  item->setToolTip(0, Q(node->m_strName));
  item->setData(0, kNodeRole, QVariant::fromValue(static_cast<void*>(node)));
  item->setIcon(0, node->m_bDeleted ? icons::Deleted(icon) : icon);
  item->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator
                                            : QTreeWidgetItem::DontShowIndicatorWhenChildless);
  return item;
}

void CFSTreeCtrl::ExpandInTree(QTreeWidgetItem* item) {
  if (!item || IsTopItem(item) || item->childCount() > 0) return;
  CDirectory* node = NodeOf(item);
  if (!node) return;
  StopRunningSearch();  // the search worker may be reading this volume
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (!node->m_bLoaded) node->LoadChildren(true, false, false);
  QApplication::restoreOverrideCursor();
  if (!node->m_bLoaded) {
    // Not filled (an MFT read or a deep scan was cancelled): nothing is inserted, so the
    // next expansion asks again.
    item->setExpanded(false);
    return;
  }
  for (auto& child : node->m_children) {
    if (!child || !child->IsDirectory()) continue;
    auto* folder = static_cast<CDirectory*>(child.get());
    InsertNode(item, folder, icons::Folder(), folder->HasSubfolders(true));
  }
  if (item->childCount() == 0) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

QTreeWidgetItem* CFSTreeCtrl::FindChildItem(CDirectory* node) {
  QTreeWidgetItem* sel = currentItem();
  if (!sel) return nullptr;
  sel->setExpanded(true);
  ExpandInTree(sel);
  for (int i = 0; i < sel->childCount(); ++i)
    if (NodeOf(sel->child(i)) == node) return sel->child(i);
  return nullptr;
}

QTreeWidgetItem* CFSTreeCtrl::FindVolumeItem(CLogicalDriver* volume) {
  if (!volume) return nullptr;
  QTreeWidgetItem* top = volume->m_nFileSystem == FS_VIRTUAL ? m_pDisks : m_pComputer;
  if (!top) return nullptr;
  for (int i = 0; i < top->childCount(); ++i) {
    CDirectory* node = NodeOf(top->child(i));
    if (node && node->m_pDriver == volume) {
      top->child(i)->setExpanded(true);
      return top->child(i);
    }
  }
  return nullptr;
}

QTreeWidgetItem* CFSTreeCtrl::FindLostFolderItem(QTreeWidgetItem* volumeItem, CLogicalDriver* volume) {
  if (!volumeItem || !volume) return nullptr;
  ExpandInTree(volumeItem);
  for (int i = 0; i < volumeItem->childCount(); ++i)
    if (NodeOf(volumeItem->child(i)) == volume->m_pLostFolder) return volumeItem->child(i);
  return nullptr;
}

QTreeWidgetItem* CFSTreeCtrl::FindItemOf(QTreeWidgetItem* item, CDirectory* node) const {
  if (!item) return nullptr;
  if (NodeOf(item) == node) return item;
  for (int i = 0; i < item->childCount(); ++i)
    if (QTreeWidgetItem* hit = FindItemOf(item->child(i), node)) return hit;
  return nullptr;
}

// ---------------------------------------------------------------------------

CFoldersTreeDlg::CFoldersTreeDlg(CKelvoDoc* doc, QWidget* parent) : QWidget(parent), m_pDoc(doc) {
  setObjectName(QStringLiteral("treePane"));
  m_pTree = new CFSTreeCtrl(this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pTree);
  GuiApp().m_pTreePane = this;

  m_pTree->m_pComputer = m_pTree->InsertTopItem(Tr("IDS_MY_COMPUTER", u"My Computer"), icons::Computer());
  m_pTree->m_pDisks = m_pTree->InsertTopItem(Tr("IDS_PHYSICAL_DRIVES", u"Physical Drives"), icons::Disks());
  SyncVolumes();
  m_pTree->m_pComputer->setExpanded(true);
  m_pTree->m_pDisks->setExpanded(true);
  connect(m_pTree, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item, QTreeWidgetItem*) { OnSelectionChanged(item); });
  m_pTree->setCurrentItem(m_pTree->m_pComputer);
}

QTreeWidgetItem* CFoldersTreeDlg::SyncVolumes() {
  if (!m_pDoc) return nullptr;
  m_pDoc->EnumerateVolumes();
  m_pDoc->EnumerateVirtualVolumes();
  m_pDoc->EnumerateDisks();
  QTreeWidgetItem* first = nullptr;
  auto add = [&](CLogicalDriver* v, QTreeWidgetItem* top) {
    if (!v || !v->m_pRoot || m_inserted.count(v)) return;
    m_inserted.insert(v);
    QIcon icon = v->m_nDriveType == DRIVE_REMOVABLE ? icons::RemovableVolume() : icons::FixedVolume();
    QTreeWidgetItem* item = m_pTree->InsertNode(top, v->m_pRoot, icon, true);
    if (!first) first = item;
  };
  for (const auto& v : m_pDoc->Volumes()) add(v.get(), m_pTree->m_pComputer);
  for (const auto& v : m_pDoc->VirtualVolumes()) add(v.get(), m_pTree->m_pDisks);
  LabelVolumeItems();
  return first;
}

QString CFoldersTreeDlg::VolumeItemText(const CLogicalDriver& volume, bool underComputer) {
  // The root's name under "Physical Drives"; under "My Computer" an image's volume goes by
  // the image's file name (the whole name stays in the tooltip).
  QString text = underComputer || !volume.m_pRoot ? VolumeDisplayName(volume) : Q(volume.m_pRoot->m_strName);
  if (volume.m_bDisconnected) text += QLatin1Char(' ') + Tr("IDS_UI_DISCONNECTED", u"(disconnected)");
  return text;
}

void CFoldersTreeDlg::LabelVolumeItems() {
  for (QTreeWidgetItem* top : {m_pTree->m_pComputer, m_pTree->m_pDisks}) {
    for (int i = 0; i < top->childCount(); ++i) {
      QTreeWidgetItem* item = top->child(i);
      CDirectory* root = CFSTreeCtrl::NodeOf(item);
      if (!root || !root->m_pDriver) continue;
      const CLogicalDriver& volume = *root->m_pDriver;
      item->setText(0, VolumeItemText(volume, top == m_pTree->m_pComputer));
      // The whole name (which a narrow pane shortens), and the mark.
      item->setToolTip(0, volume.m_bDisconnected ? Q(root->m_strName) + QLatin1Char(' ') + Tr("IDS_UI_DISCONNECTED", u"(disconnected)")
                                                 : Q(root->m_strName));
      item->setForeground(0, volume.m_bDisconnected ? m_pTree->palette().brush(QPalette::Disabled, QPalette::Text)
                                                    : QBrush());
    }
  }
}

void CFoldersTreeDlg::ApplyRefresh(const RefreshOutcome& outcome) {
  for (CDriver* device : outcome.removed) {
    auto* volume = dynamic_cast<CLogicalDriver*>(device);
    if (!volume) continue;  // a disk has no item of its own (its virtual volume has)
    for (QTreeWidgetItem* top : {m_pTree->m_pComputer, m_pTree->m_pDisks}) {
      for (int i = top->childCount(); i-- > 0;) {
        CDirectory* root = CFSTreeCtrl::NodeOf(top->child(i));
        if (root && root->m_pDriver == volume) delete top->takeChild(i);
      }
    }
    m_inserted.erase(volume);
  }
  SyncVolumes();
}

bool CFoldersTreeDlg::SelectNode(CDirectory* node) {
  if (!node) return false;
  // The chain of folders from the volume's root down to node.
  std::vector<CDirectory*> chain;
  for (CDirectory* d = node; d; d = d->m_pParent) chain.insert(chain.begin(), d);
  QTreeWidgetItem* item = nullptr;
  for (QTreeWidgetItem* top : {m_pTree->m_pComputer, m_pTree->m_pDisks})
    for (int i = 0; i < top->childCount() && !item; ++i)
      if (CFSTreeCtrl::NodeOf(top->child(i)) == chain.front()) item = top->child(i);
  if (!item) return false;
  for (size_t k = 1; k < chain.size(); ++k) {
    item->setExpanded(true);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < item->childCount() && !next; ++i)
      if (CFSTreeCtrl::NodeOf(item->child(i)) == chain[k]) next = item->child(i);
    if (!next) return false;
    item = next;
  }
  m_pTree->setCurrentItem(item);
  return true;
}

void CFoldersTreeDlg::OnSelectionChanged(QTreeWidgetItem* item) {
  if (!item) return;
  if (m_pTree->IsTopItem(item)) {
    emit FolderSelected(nullptr);
    return;
  }
  if (m_pTree->IsTopItem(item->parent())) {
    // A volume: remember its device for the recovery wizard's same-disk warning.
    if (CDirectory* root = CFSTreeCtrl::NodeOf(item); root && root->m_pDriver)
      GuiApp().m_strSourceDevice = root->m_pDriver->m_source.strPath;
  }
  emit FolderSelected(CFSTreeCtrl::NodeOf(item));
}
