// The file list: the children of the folder selected in the tree (or, with a "Path"
// column, the hits of a search), in columns, sortable, in four view modes.
//
// The model never copies nodes. Over a folder it reads the folder's own child vector and
// sorts that vector in place, so the order persists in the tree model; rows are answered
// on demand for what is painted. While a worker appends to a folder (a deep scan), the
// model reads only the nodes it was told about (BeginLive/Grow/EndLive), never the vector
// the worker is changing; the deleted-only rule and the filter apply to those as they come.
#pragma once

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QStackedWidget>
#include <memory>
#include <string>
#include <vector>

class CDirEntry;
class CDirectory;
class CLogicalDriver;
class QTreeView;
class QListView;
class QMenu;
class QAbstractItemView;

// Column keys, in screen order for the two layouts.
enum class EListColumn { Name, Path, Size, Type, Modified, Status };

// What the filter bar of a results folder keeps: files of one type (their extension, any case;
// empty: all), of a size in [nMinSize, nMaxSize], whose name matches the pattern ('*' and '?';
// without either, a part of the name; empty: all). Folders (rebuilt dir_N) are always kept.
struct ResultFilter {
  std::u16string strType;
  uint64_t nMinSize = 0, nMaxSize = UINT64_MAX;
  std::u16string strPattern;
  bool Active() const { return !strType.empty() || nMinSize || nMaxSize != UINT64_MAX || !strPattern.empty(); }
  bool Passes(const CDirEntry& node) const;
};

class CFSListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  CFSListModel(bool withPath, bool withStatus, QObject* parent = nullptr);

  // Shows the folder's children (borrowed), sorted by column 0 in the current order
  // unless sort is false (a results folder keeps the order in which it was filled).
  void ShowFolder(CDirectory* folder, bool sort = true);
  // Shows a list of nodes that the model keeps (search hits); appended with AppendNode.
  void ShowNodes();
  void AppendNode(CDirEntry* node);
  void Clear();
  CDirectory* Folder() const { return m_pFolder; }

  // A worker is about to change the folder's children: from now on only the nodes given
  // to Grow are shown (none at first).
  void BeginLive(CDirectory* folder);
  // Takes the folder's children from the current count on (the worker waits meanwhile);
  // those the deleted-only rule or the filter leave out get no row.
  void Grow(CDirectory* folder);
  // The worker is done: the folder's vector is read again.
  void EndLive(CDirectory* folder);
  bool IsLive() const { return m_bLive; }

  // Reads the rows again from the folder or the hits (after the document changed around
  // them): sorted again when the rows were sorted, then filtered. Nothing while live.
  void Reread();

  CDirEntry* NodeAt(int row) const;
  // The rows shown, and the items they are chosen from (the folder's children or the hits,
  // before the deleted-only rule and the filter).
  int Count() const;
  size_t TotalCount() const;
  // Whether rows are left out (deleted-only, or an active filter).
  bool IsFiltered() const { return Filtering(); }
  // Whether the model shows, or holds, a node of the volume (the folder or any hit).
  bool References(const CLogicalDriver* volume) const;

  // Shows only the deleted items (m_bDeleted) of the folder or of the hits; the nodes stay
  // where they are, the rows are a filtered view of them.
  void SetDeletedOnly(bool on);
  bool DeletedOnly() const { return m_bDeletedOnly; }
  // Shows only the rows the filter keeps (with the deleted-only rule, both).
  void SetResultFilter(const ResultFilter& filter);
  const ResultFilter& Filter() const { return m_filter; }

  // Sorts by the column (in screen order); a click on the sorted column flips the order.
  // The rows stay sorted so until another folder is shown unsorted.
  void SortByColumn(int column);
  void Sort(int column, Qt::SortOrder order);
  int SortColumn() const { return m_nSortColumn; }
  Qt::SortOrder SortOrder() const { return m_order; }
  EListColumn ColumnKey(int column) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  void SortChanged(int column, Qt::SortOrder order);
  // The deleted-only rule or the filter changed (the rows shown with them).
  void FilterChanged();
  // Items reached the folder being filled (with rows or not, as the rule and filter say).
  void LiveGrew();

 private:
  std::vector<EListColumn> m_columns;
  CDirectory* m_pFolder = nullptr;        // the folder shown, or null
  std::vector<CDirEntry*> m_nodes;        // hits, or a folder's nodes while live
  bool m_bOwnList = false;                // m_nodes are the rows (search hits)
  bool m_bLive = false;                   // m_nodes are the items (folder being filled)
  bool m_bSorted = false;                 // the rows are in the sort column's order
  bool m_bDeletedOnly = false;
  ResultFilter m_filter;
  // While filtering: the rows of the folder or hits, rebuilt after every change of them.
  std::vector<CDirEntry*> m_filtered;
  void Refilter();
  bool Filtering() const { return m_bDeletedOnly || m_filter.Active(); }
  bool Passes(const CDirEntry* node) const;
  int m_nSortColumn = 0;
  Qt::SortOrder m_order = Qt::AscendingOrder;
};

// The list widget: a details view and an icon/list view over one model and one selection.
class CFSListCtrl : public QStackedWidget {
  Q_OBJECT
 public:
  enum class ViewMode { LargeIcons, SmallIcons, List, Details };

  CFSListCtrl(bool withPath, bool withStatus, QWidget* parent = nullptr);

  CFSListModel* Model() const { return m_pModel; }
  QItemSelectionModel* Selection() const { return m_pSelection; }
  QTreeView* DetailsView() const { return m_pDetails; }
  QListView* IconView() const { return m_pIcons; }
  QAbstractItemView* CurrentView() const;

  void SetViewMode(ViewMode mode);
  ViewMode GetViewMode() const { return m_mode; }

  // Reads the rows again (CFSListModel::Reread), keeping the selected nodes that are still
  // shown selected.
  void Reread();

  // Selected rows in ascending order, and their nodes.
  std::vector<int> SelectedRows() const;
  std::vector<CDirEntry*> SelectedNodes() const;
  int SelectedCount() const;
  void SelectAll();
  void InvertSelection();

  // The menu shown on a right click or the menu key; set by the owner.
  void SetContextMenu(QMenu* menu) { m_pContextMenu = menu; }

  // The column widths and hidden columns are kept in the settings file, section [Settings],
  // under key ("<key>Widths" and "<key>Hidden", one entry per column key); called by the
  // owner once, and saved whenever the user changes them.
  void RememberColumnsAs(const std::string& key);
  // The header's menu (right click): one checkable entry per column but the name.
  QMenu* ColumnMenu() const { return m_pColumnMenu; }

 signals:
  void Activated(CDirEntry* node);           // double click or Enter
  void SelectionChangedTo(int count);        // the selection changed (count of selected rows)
  void Clicked();                            // a click in the list
  void ContextMenuShown();                   // before the context menu appears

 private:
  void ShowContextMenu(QAbstractItemView* view, const QPoint& pos, bool byKeyboard);
  void SaveColumns() const;
  bool eventFilter(QObject* watched, QEvent* event) override;

  CFSListModel* m_pModel;
  QItemSelectionModel* m_pSelection;
  QTreeView* m_pDetails;
  QListView* m_pIcons;
  QMenu* m_pContextMenu = nullptr;
  QMenu* m_pColumnMenu = nullptr;
  class QTimer* m_pSaveTimer = nullptr;  // a drag of a column's edge is saved once it rests
  std::string m_strColumnsKey;  // empty: the columns are not remembered
  bool m_bRestoring = false;
  ViewMode m_mode = ViewMode::Details;
};

// Case-insensitive comparison of two names, as the name and path columns sort.
int CompareNoCase(const std::u16string& a, const std::u16string& b);
