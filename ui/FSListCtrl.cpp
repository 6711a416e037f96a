#include "ui/FSListCtrl.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QTreeView>
#include <QTimer>
#include <QStyledItemDelegate>
#include <QBrush>
#include <map>
#include <algorithm>

#include "tree/DirEntry.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/UiText.h"
#include "platform/Profile.h"
#include "settings/Settings.h"

namespace {

// Deleted items' text: a dark red, readable on light and dark backgrounds alike.
const QColor kDeletedColour(0xC0, 0x1C, 0x28);

// The column's name in the settings file.
QString ColumnKeyName(EListColumn c) {
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

QString ColumnTitle(EListColumn c) {
  switch (c) {
    case EListColumn::Name: return Tr("IDS_COLUMN_NAME", u"Name");
    case EListColumn::Path: return Tr("IDS_COLUMN_PATH", u"Path");
    case EListColumn::Size: return Tr("IDS_COLUMN_SIZE", u"Size");
    case EListColumn::Type: return Tr("IDS_COLUMN_TYPE", u"Type");
    case EListColumn::Modified: return Tr("IDS_COLUMN_MODIFIED", u"Modified");
    case EListColumn::Status: return Tr("IDS_COLUMN_STATUS", u"Status");
  }
  return {};
}

// The folder a search hit lies in, ending in '/', as the Path column shows and sorts it.
std::u16string FolderOf(const CDirEntry* node) { return node->GetFullPath(); }

// Draws its column's text shortened in the middle ("/media/card/…/holiday") instead of at
// its end.
class CElideMiddleDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->textElideMode = Qt::ElideMiddle;
  }
};

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
      // By the folder shown, then by name within a folder.
      SortNodes(v, ascending, [](CDirEntry* a, CDirEntry* b) {
        int folder = CompareNoCase(FolderOf(a), FolderOf(b));
        return folder != 0 ? folder < 0 : CompareNoCase(a->m_strName, b->m_strName) < 0;
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
  m_bSorted = sort;
  Refilter();
  endResetModel();
  if (sort) emit SortChanged(m_nSortColumn, m_order);
}

void CFSListModel::ShowNodes() {
  beginResetModel();
  m_pFolder = nullptr;
  m_nodes.clear();
  m_filtered.clear();
  m_bOwnList = true;
  m_bLive = false;
  m_bSorted = false;
  endResetModel();
}

void CFSListModel::AppendNode(CDirEntry* node) {
  if (!m_bOwnList) return;
  if (Filtering()) {
    m_nodes.push_back(node);
    if (!Passes(node)) return;
    int row = int(m_filtered.size());
    beginInsertRows(QModelIndex(), row, row);
    m_filtered.push_back(node);
    endInsertRows();
    return;
  }
  int row = int(m_nodes.size());
  beginInsertRows(QModelIndex(), row, row);
  m_nodes.push_back(node);
  endInsertRows();
}

void CFSListModel::Clear() {
  beginResetModel();
  m_pFolder = nullptr;
  m_nodes.clear();
  m_filtered.clear();
  m_bOwnList = false;
  m_bLive = false;
  endResetModel();
}

void CFSListModel::BeginLive(CDirectory* folder) {
  if (folder != m_pFolder) return;
  beginResetModel();
  m_nodes.clear();
  m_filtered.clear();
  m_bLive = true;
  endResetModel();
}

void CFSListModel::Grow(CDirectory* folder) {
  if (folder != m_pFolder || !m_bLive) return;
  size_t have = m_nodes.size(), now = folder->m_children.size();
  if (now < have) {  // emptied again: start over
    beginResetModel();
    m_nodes.clear();
    m_filtered.clear();
    endResetModel();
    have = 0;
  }
  if (now == have) return;
  if (Filtering()) {
    // Every item is remembered (the rule may change before the end); rows for those that pass.
    std::vector<CDirEntry*> passing;
    for (size_t i = have; i < now; ++i) {
      CDirEntry* node = folder->m_children[i].get();
      m_nodes.push_back(node);
      if (Passes(node)) passing.push_back(node);
    }
    if (!passing.empty()) {
      const int first = int(m_filtered.size());
      beginInsertRows(QModelIndex(), first, first + int(passing.size()) - 1);
      m_filtered.insert(m_filtered.end(), passing.begin(), passing.end());
      endInsertRows();
    }
  } else {
    beginInsertRows(QModelIndex(), int(have), int(now - 1));
    for (size_t i = have; i < now; ++i) m_nodes.push_back(folder->m_children[i].get());
    endInsertRows();
  }
  emit LiveGrew();
}

void CFSListModel::EndLive(CDirectory* folder) {
  if (folder != m_pFolder || !m_bLive) return;
  beginResetModel();
  m_nodes.clear();
  m_bLive = false;
  Refilter();
  endResetModel();
}

void CFSListModel::Reread() {
  if (m_bLive) return;  // a worker is filling the folder
  beginResetModel();
  if (m_bSorted) {
    const bool asc = m_order == Qt::AscendingOrder;
    if (m_bOwnList) SortByKey(m_nodes, ColumnKey(m_nSortColumn), asc);
    else if (m_pFolder) SortByKey(m_pFolder->m_children, ColumnKey(m_nSortColumn), asc);
  }
  Refilter();
  endResetModel();
}

size_t CFSListModel::TotalCount() const {
  if (m_bOwnList || m_bLive) return m_nodes.size();
  return m_pFolder ? m_pFolder->m_children.size() : 0;
}

bool CFSListModel::References(const CLogicalDriver* volume) const {
  if (!volume) return false;
  if (m_pFolder && m_pFolder->m_pDriver == volume) return true;
  return std::any_of(m_nodes.begin(), m_nodes.end(), [&](const CDirEntry* n) { return n && n->m_pDriver == volume; });
}

void CFSListModel::SetDeletedOnly(bool on) {
  if (on == m_bDeletedOnly) return;
  beginResetModel();
  m_bDeletedOnly = on;
  Refilter();
  endResetModel();
  emit FilterChanged();
}

void CFSListModel::SetResultFilter(const ResultFilter& filter) {
  beginResetModel();
  m_filter = filter;
  Refilter();
  endResetModel();
  emit FilterChanged();
}

bool ResultFilter::Passes(const CDirEntry& node) const {
  if (node.IsDirectory()) return true;
  if (!strType.empty()) {
    const std::u16string ext = node.m_strExtension;
    if (QString::fromStdU16String(ext).compare(QString::fromStdU16String(strType), Qt::CaseInsensitive) != 0)
      return false;
  }
  if (node.m_nSize < nMinSize || node.m_nSize > nMaxSize) return false;
  if (!strPattern.empty()) {
    const bool wild = strPattern.find_first_of(u"*?") != std::u16string::npos;
    if (!MatchNamePattern(wild ? strPattern : u"*" + strPattern + u"*", node.m_strName, false)) return false;
  }
  return true;
}

bool CFSListModel::Passes(const CDirEntry* node) const {
  return node && (!m_bDeletedOnly || node->m_bDeleted) && m_filter.Passes(*node);
}

void CFSListModel::Refilter() {
  m_filtered.clear();
  if (!Filtering()) return;
  // While live, only the items the model was told about: the folder's vector is the worker's.
  if (m_bOwnList || m_bLive) {
    for (CDirEntry* n : m_nodes)
      if (Passes(n)) m_filtered.push_back(n);
  } else if (m_pFolder) {
    for (const auto& n : m_pFolder->m_children)
      if (Passes(n.get())) m_filtered.push_back(n.get());
  }
}

CDirEntry* CFSListModel::NodeAt(int row) const {
  if (row < 0) return nullptr;
  if (Filtering()) return size_t(row) < m_filtered.size() ? m_filtered[size_t(row)] : nullptr;
  if (m_bOwnList || m_bLive) return size_t(row) < m_nodes.size() ? m_nodes[size_t(row)] : nullptr;
  if (!m_pFolder || size_t(row) >= m_pFolder->m_children.size()) return nullptr;
  return m_pFolder->m_children[size_t(row)].get();
}

int CFSListModel::Count() const {
  if (Filtering()) return int(std::min<size_t>(m_filtered.size(), size_t(INT32_MAX)));
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
  m_bSorted = true;
  emit layoutAboutToBeChanged();
  bool asc = order == Qt::AscendingOrder;
  if (m_bOwnList) SortByKey(m_nodes, ColumnKey(column), asc);
  else if (m_pFolder) SortByKey(m_pFolder->m_children, ColumnKey(column), asc);
  Refilter();
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
        case EListColumn::Path: return Q(FolderOf(node));
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
    case Qt::ForegroundRole:
      // Deleted items stand out from the existing ones in every column.
      if (node->m_bDeleted) return QBrush(kDeletedColour);
      return {};
    case Qt::TextAlignmentRole:
      if (key == EListColumn::Size) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (key == EListColumn::Name) {
        // A carved file: the whole of the file-system name the column may cut.
        auto* file = dynamic_cast<CFSFile*>(node);
        if (file && !file->m_strFsPath.empty())
          return Tr("IDS_UI_1_BEGINS_WHERE_2_3_BEGAN", u"%1: begins where %2 %3 began")
              .arg(Q(node->m_strName), Q(file->m_strFsPath),
                   file->m_bFsDeleted ? Tr("IDS_UI_DELETED", u"(deleted)") : Tr("IDS_UI_EXISTING", u"(existing)"));
      }
      // The whole name, which a narrow column cuts, and whether the item is deleted.
      if (key == EListColumn::Name)
        return node->m_bDeleted ? Q(node->m_strName) + QLatin1Char('\n') + Tr("IDS_DELETED", u"Deleted")
                                : Q(node->m_strName);
      if (key == EListColumn::Path) return Q(node->GetFullPath() + node->m_strName);
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
  header->setSectionsMovable(false);
  header->setMinimumSectionSize(40);
  // Each column but the name is as wide as its usual content and can be resized; the name
  // takes the rest of the width.
  const QFontMetrics fm(m_pDetails->font());
  const int padding = 2 * m_pDetails->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, m_pDetails) + 24;
  auto widthFor = [&](std::initializer_list<QString> samples) {
    int w = 0;
    for (const QString& t : samples) w = std::max(w, fm.horizontalAdvance(t));
    return w + padding;
  };
  for (int col = 0; col < m_pModel->columnCount(); ++col) {
    const EListColumn key = m_pModel->ColumnKey(col);
    const QString title = m_pModel->headerData(col, Qt::Horizontal, Qt::DisplayRole).toString();
    int width = 0;
    switch (key) {
      case EListColumn::Name: break;
      case EListColumn::Path: width = widthFor({title, QString(32, QLatin1Char('x'))}); break;
      case EListColumn::Size: width = widthFor({title, QStringLiteral("9999999 KB")}); break;
      case EListColumn::Type: width = widthFor({title, QStringLiteral("Folder"), QStringLiteral("XLSX"), QString(10, QLatin1Char('x'))}); break;
      case EListColumn::Modified: width = widthFor({title, QStringLiteral("2000/12/31 23:59:59")}); break;
      case EListColumn::Status:
        width = widthFor({title, Tr("IDS_FILE_PROERITIES_STATUS_EXIST", u"Existing"),
                          Tr("IDS_FILE_PROERITIES_STATUS_EXCELLENT", u"Excellent"),
                          Tr("IDS_FILE_PROERITIES_STATUS_GOOD", u"Good"), Tr("IDS_FILE_PROERITIES_STATUS_POOR", u"Poor")});
        break;
    }
    if (key == EListColumn::Name) {
      header->setSectionResizeMode(col, QHeaderView::Stretch);
    } else {
      header->setSectionResizeMode(col, QHeaderView::Interactive);
      header->resizeSection(col, width);
    }
    // The folder of a search hit is shortened in the middle, where its least telling part is.
    if (key == EListColumn::Path) m_pDetails->setItemDelegateForColumn(col, new CElideMiddleDelegate(m_pDetails));
  }

  // A right click on the header chooses the columns shown.
  m_pColumnMenu = new QMenu(this);
  m_pColumnMenu->setObjectName(QStringLiteral("columnMenu"));
  for (int col = 0; col < m_pModel->columnCount(); ++col) {
    if (m_pModel->ColumnKey(col) == EListColumn::Name) continue;  // the name always shows
    QAction* a = m_pColumnMenu->addAction(m_pModel->headerData(col, Qt::Horizontal, Qt::DisplayRole).toString());
    a->setCheckable(true);
    a->setChecked(true);
    a->setData(col);
    connect(a, &QAction::toggled, this, [this, col](bool on) {
      m_pDetails->header()->setSectionHidden(col, !on);
      SaveColumns();
    });
  }
  header->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(header, &QHeaderView::customContextMenuRequested, this,
          [this, header](const QPoint& pos) { m_pColumnMenu->popup(header->viewport()->mapToGlobal(pos)); });
  m_pSaveTimer = new QTimer(this);
  m_pSaveTimer->setSingleShot(true);
  m_pSaveTimer->setInterval(500);
  connect(m_pSaveTimer, &QTimer::timeout, this, [this] { SaveColumns(); });
  connect(header, &QHeaderView::sectionResized, this, [this] {
    if (!m_bRestoring && !m_strColumnsKey.empty()) m_pSaveTimer->start();
  });
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

void CFSListCtrl::Reread() {
  std::vector<CDirEntry*> selected = SelectedNodes();
  std::sort(selected.begin(), selected.end());
  m_pModel->Reread();
  QItemSelection keep;
  for (int row = 0; row < m_pModel->rowCount(); ++row)
    if (std::binary_search(selected.begin(), selected.end(), m_pModel->NodeAt(row)))
      keep.select(m_pModel->index(row, 0), m_pModel->index(row, m_pModel->columnCount() - 1));
  if (!keep.isEmpty()) m_pSelection->select(keep, QItemSelectionModel::ClearAndSelect);
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

void CFSListCtrl::RememberColumnsAs(const std::string& key) {
  m_strColumnsKey = key;
  const std::string file = SettingsFilePath();
  auto widths = profile::Read(file, "Settings", key + "Widths");
  auto hidden = profile::Read(file, "Settings", key + "Hidden");
  m_bRestoring = true;
  QHeaderView* header = m_pDetails->header();
  // "Size=80,Type=96": a width per column key, so a list with other columns reads it too.
  auto entries = [](const std::optional<std::string>& value) {
    std::map<QString, QString> out;
    if (!value) return out;
    for (const QString& part : QString::fromStdString(*value).split(QLatin1Char(','), Qt::SkipEmptyParts))
      out[part.section(QLatin1Char('='), 0, 0)] = part.section(QLatin1Char('='), 1);
    return out;
  };
  const auto widthOf = entries(widths);
  const auto hiddenOf = entries(hidden);
  for (int col = 0; col < m_pModel->columnCount(); ++col) {
    const EListColumn key = m_pModel->ColumnKey(col);
    if (key == EListColumn::Name) continue;
    const QString name = ColumnKeyName(key);
    if (auto it = widthOf.find(name); it != widthOf.end()) {
      bool ok = false;
      const int w = it->second.toInt(&ok);
      if (ok && w >= header->minimumSectionSize() && w <= 2000) header->resizeSection(col, w);
    }
    if (auto it = hiddenOf.find(name); it != hiddenOf.end() && it->second == QStringLiteral("1"))
      for (QAction* a : m_pColumnMenu->actions())
        if (a->data().toInt() == col) a->setChecked(false);
  }
  m_bRestoring = false;
}

void CFSListCtrl::SaveColumns() const {
  if (m_strColumnsKey.empty() || m_bRestoring) return;
  QStringList widths, hidden;
  QHeaderView* header = m_pDetails->header();
  for (int col = 0; col < m_pModel->columnCount(); ++col) {
    const EListColumn key = m_pModel->ColumnKey(col);
    if (key == EListColumn::Name) continue;
    const QString name = ColumnKeyName(key);
    if (!header->isSectionHidden(col)) widths << name + QLatin1Char('=') + QString::number(header->sectionSize(col));
    hidden << name + (header->isSectionHidden(col) ? QStringLiteral("=1") : QStringLiteral("=0"));
  }
  const std::string file = SettingsFilePath();
  // A settings file that cannot be written costs only the remembered widths.
  profile::WriteString(file, "Settings", m_strColumnsKey + "Widths", widths.join(QLatin1Char(',')).toStdString());
  profile::WriteString(file, "Settings", m_strColumnsKey + "Hidden", hidden.join(QLatin1Char(',')).toStdString());
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
