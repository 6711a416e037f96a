#include "ui/FSListCtrl.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QTreeView>
#include <algorithm>

#include "tree/DirEntry.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"

namespace {

QString ColumnTitle(EListColumn c) {
  switch (c) {
    case EListColumn::Name: return QStringLiteral("Name");
    case EListColumn::Path: return QStringLiteral("Path");
    case EListColumn::Size: return QStringLiteral("Size");
    case EListColumn::Type: return QStringLiteral("Type");
    case EListColumn::Modified: return QStringLiteral("Modified");
    case EListColumn::Status: return QStringLiteral("Status");
  }
  return {};
}

CDirEntry* Raw(const std::unique_ptr<CDirEntry>& p) { return p.get(); }
CDirEntry* Raw(CDirEntry* p) { return p; }

char16_t Fold(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
  return QChar(c).toLower().unicode();
}

// Folders come before files in ascending order and after them in descending order; within
// each group the key decides. less(a, b) is the strict ascending key order.
template <class Less>
void SortNodes(std::vector<std::unique_ptr<CDirEntry>>& v, bool ascending, Less less) {
  auto cmp = [&](const std::unique_ptr<CDirEntry>& pa, const std::unique_ptr<CDirEntry>& pb) {
    CDirEntry* a = pa.get();
    CDirEntry* b = pb.get();
    if (!a || !b) return a && !b;
    bool da = a->IsDirectory(), db = b->IsDirectory();
    if (da != db) return ascending ? da : db;
    return ascending ? less(a, b) : less(b, a);
  };
  std::sort(v.begin(), v.end(), cmp);
}

template <class Less>
void SortNodes(std::vector<CDirEntry*>& v, bool ascending, Less less) {
  auto cmp = [&](CDirEntry* a, CDirEntry* b) {
    if (!a || !b) return a && !b;
    bool da = a->IsDirectory(), db = b->IsDirectory();
    if (da != db) return ascending ? da : db;
    return ascending ? less(a, b) : less(b, a);
  };
  std::sort(v.begin(), v.end(), cmp);
}

template <class Vec>
void SortByKey(Vec& v, EListColumn key, bool ascending) {
  switch (key) {
    case EListColumn::Name:
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) { return CompareNoCase(a->m_strName, b->m_strName) < 0; });
      break;
    case EListColumn::Path: {
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) {
        return CompareNoCase(a->GetRelativePath(nullptr), b->GetRelativePath(nullptr)) < 0;
      });
      break;
    }
    case EListColumn::Size:
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) { return SizeAscending(a, b); });
      break;
    case EListColumn::Type:
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) { return CompareNoCase(a->GetTypeText(), b->GetTypeText()) < 0; });
      break;
    case EListColumn::Modified:
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) { return a->m_tModified < b->m_tModified; });
      break;
    case EListColumn::Status:
      // Ascending shows the larger status numbers first (Poor, Good, Excellent, Existing).
      for (auto& n : v) {
        CDirEntry* e = Raw(n);
        if (e && !e->m_bStatusEvaluated) e->EvaluateStatus();
      }
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) { return StatusDescending(a, b); });
      break;
  }
}

}  // namespace

int CompareNoCase(const std::u16string& a, const std::u16string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char16_t x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// ---------------------------------------------------------------------------

CFSListModel::CFSListModel(bool withPath, bool withStatus, QObject* parent) : QAbstractTableModel(parent) {
  m_columns.push_back(EListColumn::Name);
  if (withPath) m_columns.push_back(EListColumn::Path);
  m_columns.push_back(EListColumn::Size);
  m_columns.push_back(EListColumn::Type);
  m_columns.push_back(EListColumn::Modified);
  if (withStatus) m_columns.push_back(EListColumn::Status);
}

EListColumn CFSListModel::ColumnKey(int column) const {
  return column >= 0 && size_t(column) < m_columns.size() ? m_columns[size_t(column)] : EListColumn::Name;
}

void CFSListModel::ShowFolder(CDirectory* folder, bool sort) {
  beginResetModel();
  m_pFolder = folder;
  m_nodes.clear();
  m_bOwnList = false;
  m_bLive = false;
  if (folder && sort) SortByKey(folder->m_children, ColumnKey(0), m_order == Qt::AscendingOrder);
  if (sort) m_nSortColumn = 0;
  endResetModel();
  if (sort) emit SortChanged(m_nSortColumn, m_order);
}

void CFSListModel::ShowNodes() {
  beginResetModel();
  m_pFolder = nullptr;
  m_nodes.clear();
  m_bOwnList = true;
  m_bLive = false;
  endResetModel();
}

void CFSListModel::AppendNode(CDirEntry* node) {
  if (!m_bOwnList) return;
  int row = int(m_nodes.size());
  beginInsertRows(QModelIndex(), row, row);
  m_nodes.push_back(node);
  endInsertRows();
}

void CFSListModel::Clear() {
  beginResetModel();
  m_pFolder = nullptr;
  m_nodes.clear();
  m_bOwnList = false;
  m_bLive = false;
  endResetModel();
}

void CFSListModel::BeginLive(CDirectory* folder) {
  if (folder != m_pFolder) return;
  beginResetModel();
  m_nodes.clear();
  m_bLive = true;
  endResetModel();
}

void CFSListModel::Grow(CDirectory* folder) {
  if (folder != m_pFolder || !m_bLive) return;
  size_t have = m_nodes.size(), now = folder->m_children.size();
  if (now < have) {  // emptied again: start over
    beginResetModel();
    m_nodes.clear();
    endResetModel();
    have = 0;
  }
  if (now == have) return;
  beginInsertRows(QModelIndex(), int(have), int(now - 1));
  for (size_t i = have; i < now; ++i) m_nodes.push_back(folder->m_children[i].get());
  endInsertRows();
}

void CFSListModel::EndLive(CDirectory* folder) {
  if (folder != m_pFolder || !m_bLive) return;
  beginResetModel();
  m_nodes.clear();
  m_bLive = false;
  endResetModel();
}

CDirEntry* CFSListModel::NodeAt(int row) const {
  if (row < 0) return nullptr;
  if (m_bOwnList || m_bLive) return size_t(row) < m_nodes.size() ? m_nodes[size_t(row)] : nullptr;
  if (!m_pFolder || size_t(row) >= m_pFolder->m_children.size()) return nullptr;
  return m_pFolder->m_children[size_t(row)].get();
}

int CFSListModel::Count() const {
  if (m_bOwnList || m_bLive) return int(m_nodes.size());
  return m_pFolder ? int(std::min<size_t>(m_pFolder->m_children.size(), size_t(INT32_MAX))) : 0;
}

void CFSListModel::SortByColumn(int column) {
  Qt::SortOrder order = Qt::AscendingOrder;
  if (column == m_nSortColumn) order = m_order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
  Sort(column, order);
}

void CFSListModel::Sort(int column, Qt::SortOrder order) {
  if (m_bLive) return;  // a worker is filling the folder
  m_nSortColumn = column;
  m_order = order;
  emit layoutAboutToBeChanged();
  bool asc = order == Qt::AscendingOrder;
  if (m_bOwnList) SortByKey(m_nodes, ColumnKey(column), asc);
  else if (m_pFolder) SortByKey(m_pFolder->m_children, ColumnKey(column), asc);
  emit layoutChanged();
  emit SortChanged(column, order);
}

int CFSListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }
int CFSListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(m_columns.size()); }

Qt::ItemFlags CFSListModel::flags(const QModelIndex& index) const {
  return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren : Qt::NoItemFlags;
}

QVariant CFSListModel::data(const QModelIndex& index, int role) const {
  CDirEntry* node = NodeAt(index.row());
  if (!node) return {};
  EListColumn key = ColumnKey(index.column());
  switch (role) {
    case Qt::DisplayRole:
      switch (key) {
        case EListColumn::Name: {
          // A carved file shows the file-system item that began where it begins beside its FILE_N name.
          auto* file = dynamic_cast<CFSFile*>(node);
          if (file && !file->m_strFsPath.empty()) return Q(node->m_strName) + QStringLiteral("  [") + Q(file->m_strFsPath) + u']';
          return Q(node->m_strName);
        }
        case EListColumn::Path: return Q(node->GetFullPath());
        case EListColumn::Size: return node->IsDirectory() ? QString() : Q(node->GetSizeText(false));
        case EListColumn::Type: return Q(node->GetTypeText());
        case EListColumn::Modified: return Q(node->GetModifiedText());
        case EListColumn::Status: return Q(node->GetStatusText());
      }
      return {};
    case Qt::DecorationRole: {
      if (key != EListColumn::Name) return {};
      QIcon icon = node->IsDirectory() ? icons::Folder() : icons::ForFileName(Q(node->m_strName));
      return node->m_bDeleted ? icons::Deleted(icon) : icon;
    }
    case Qt::TextAlignmentRole:
      if (key == EListColumn::Size) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (key == EListColumn::Name) {
        // A carved file: the whole of the file-system name the column may cut.
        auto* file = dynamic_cast<CFSFile*>(node);
        if (file && !file->m_strFsPath.empty())
          return QStringLiteral("%1: begins where %2 %3 began")
              .arg(Q(node->m_strName), Q(file->m_strFsPath),
                   file->m_bFsDeleted ? QStringLiteral("(deleted)") : QStringLiteral("(existing)"));
      }
      if (key == EListColumn::Name && node->m_bDeleted) return QStringLiteral("Deleted");
      if (key == EListColumn::Status) {
        const std::u16string reason = node->GetStatusReasonText();
        if (!reason.empty()) return Q(reason);
      }
      return {};
    default:
      return {};
  }
}

QVariant CFSListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || size_t(section) >= m_columns.size()) return {};
  if (role == Qt::DisplayRole) return ColumnTitle(m_columns[size_t(section)]);
  if (role == Qt::TextAlignmentRole)
    return QVariant((m_columns[size_t(section)] == EListColumn::Size ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  return {};
}

// ---------------------------------------------------------------------------

CFSListCtrl::CFSListCtrl(bool withPath, bool withStatus, QWidget* parent)
    : QStackedWidget(parent),
      m_pModel(new CFSListModel(withPath, withStatus, this)),
      m_pSelection(new QItemSelectionModel(m_pModel, this)),
      m_pDetails(new QTreeView(this)),
      m_pIcons(new QListView(this)) {
  m_pDetails->setObjectName(QStringLiteral("detailsView"));
  m_pIcons->setObjectName(QStringLiteral("iconView"));
  for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(m_pDetails), static_cast<QAbstractItemView*>(m_pIcons)}) {
    v->setModel(m_pModel);
    v->setSelectionModel(m_pSelection);
    v->setSelectionMode(withPath ? QAbstractItemView::SingleSelection : QAbstractItemView::ExtendedSelection);
    v->setSelectionBehavior(QAbstractItemView::SelectRows);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setDragEnabled(false);
    v->setContextMenuPolicy(Qt::DefaultContextMenu);
    v->installEventFilter(this);
    v->viewport()->installEventFilter(this);
    connect(v, &QAbstractItemView::activated, this, [this](const QModelIndex& i) {
      if (CDirEntry* n = m_pModel->NodeAt(i.row())) emit Activated(n);
    });
    connect(v, &QAbstractItemView::clicked, this, [this] { emit Clicked(); });
  }
  m_pDetails->setRootIsDecorated(false);
  m_pDetails->setUniformRowHeights(true);  // rows of a large folder are laid out without being measured
  m_pDetails->setItemsExpandable(false);
  m_pDetails->setAllColumnsShowFocus(true);
  m_pDetails->setSortingEnabled(false);
  QHeaderView* header = m_pDetails->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setStretchLastSection(false);
  int col = 0;
  for (EListColumn key : {EListColumn::Name, EListColumn::Path, EListColumn::Size, EListColumn::Type,
                          EListColumn::Modified, EListColumn::Status}) {
    if (key == EListColumn::Path && !withPath) continue;
    if (key == EListColumn::Status && !withStatus) continue;
    int width = 140;
    if (key == EListColumn::Size) width = withStatus ? 80 : 76;
    if (key == EListColumn::Type) width = 110;
    if (key == EListColumn::Modified) width = 130;
    if (key == EListColumn::Status) width = 70;
    header->resizeSection(col++, width);
  }
  connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
    StopRunningSearch();  // the search may be walking the folder being reordered
    m_pModel->SortByColumn(column);
  });
  connect(m_pModel, &CFSListModel::SortChanged, this,
          [header](int column, Qt::SortOrder order) { header->setSortIndicator(column, order); });
  header->setSortIndicator(0, Qt::AscendingOrder);
  connect(m_pSelection, &QItemSelectionModel::selectionChanged, this,
          [this] { emit SelectionChangedTo(SelectedCount()); });

  m_pIcons->setUniformItemSizes(true);
  m_pIcons->setWrapping(true);
  m_pIcons->setResizeMode(QListView::Adjust);
  addWidget(m_pDetails);
  addWidget(m_pIcons);
  SetViewMode(ViewMode::Details);
}

QAbstractItemView* CFSListCtrl::CurrentView() const {
  return m_mode == ViewMode::Details ? static_cast<QAbstractItemView*>(m_pDetails) : m_pIcons;
}

void CFSListCtrl::SetViewMode(ViewMode mode) {
  m_mode = mode;
  switch (mode) {
    case ViewMode::Details: setCurrentWidget(m_pDetails); return;
    case ViewMode::LargeIcons:
      m_pIcons->setViewMode(QListView::IconMode);
      m_pIcons->setFlow(QListView::LeftToRight);
      m_pIcons->setIconSize(QSize(32, 32));
      m_pIcons->setGridSize(QSize(96, 72));
      m_pIcons->setWordWrap(true);
      break;
    case ViewMode::SmallIcons:
      m_pIcons->setViewMode(QListView::ListMode);
      m_pIcons->setFlow(QListView::LeftToRight);
      m_pIcons->setIconSize(QSize(16, 16));
      m_pIcons->setGridSize(QSize(160, 22));
      m_pIcons->setWordWrap(false);
      break;
    case ViewMode::List:
      m_pIcons->setViewMode(QListView::ListMode);
      m_pIcons->setFlow(QListView::TopToBottom);
      m_pIcons->setIconSize(QSize(16, 16));
      m_pIcons->setGridSize(QSize(180, 20));
      m_pIcons->setWordWrap(false);
      break;
  }
  m_pIcons->setWrapping(true);
  setCurrentWidget(m_pIcons);
}

std::vector<int> CFSListCtrl::SelectedRows() const {
  std::vector<int> rows;
  for (const QItemSelectionRange& r : m_pSelection->selection())
    for (int i = r.top(); i <= r.bottom(); ++i) rows.push_back(i);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

std::vector<CDirEntry*> CFSListCtrl::SelectedNodes() const {
  std::vector<CDirEntry*> nodes;
  for (int row : SelectedRows())
    if (CDirEntry* n = m_pModel->NodeAt(row)) nodes.push_back(n);
  return nodes;
}

int CFSListCtrl::SelectedCount() const {
  int n = 0;
  for (const QItemSelectionRange& r : m_pSelection->selection()) n += r.height();
  return n;
}

void CFSListCtrl::SelectAll() {
  int rows = m_pModel->rowCount();
  if (rows == 0) return;
  QItemSelection all(m_pModel->index(0, 0), m_pModel->index(rows - 1, m_pModel->columnCount() - 1));
  m_pSelection->select(all, QItemSelectionModel::ClearAndSelect);
  CurrentView()->setFocus();
}

void CFSListCtrl::InvertSelection() {
  int rows = m_pModel->rowCount();
  if (rows == 0) return;
  QItemSelection all(m_pModel->index(0, 0), m_pModel->index(rows - 1, m_pModel->columnCount() - 1));
  m_pSelection->select(all, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
  CurrentView()->setFocus();
}

void CFSListCtrl::ShowContextMenu(QAbstractItemView* view, const QPoint& pos, bool byKeyboard) {
  emit ContextMenuShown();
  if (!m_pContextMenu) return;
  QPoint global = byKeyboard ? view->viewport()->mapToGlobal(QPoint(5, 5)) : view->viewport()->mapToGlobal(pos);
  m_pContextMenu->popup(global);
}

bool CFSListCtrl::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ContextMenu) {
    auto* e = static_cast<QContextMenuEvent*>(event);
    QAbstractItemView* view = CurrentView();
    if (watched == view || watched == view->viewport()) {
      ShowContextMenu(view, view->viewport()->mapFromGlobal(e->globalPos()), e->reason() == QContextMenuEvent::Keyboard);
      return true;
    }
  }
  return QStackedWidget::eventFilter(watched, event);
}
