// The navigation pane: a folder tree with two fixed top items, "My Computer" (the
// machine's volumes, then those of opened images, then lost volumes found on disks) and
// "Physical Drivers" (one virtual volume per disk, holding its deep-scan results). Folders
// are filled when first expanded; only folders are inserted, never files. Each item carries
// the CDirectory it shows. A volume whose device went away but is still in use reads
// "(disconnected)" after its name, greyed.
#pragma once

#include <QTreeWidget>
#include <QWidget>
#include <set>

class CDirectory;
class CKelvoDoc;
class CLogicalDriver;
struct RefreshOutcome;

class CFSTreeCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CFSTreeCtrl(QWidget* parent = nullptr);

  // Inserts the node as the last child of parent with an expander when hasChildren; a
  // deleted node gets the deleted mark.
  QTreeWidgetItem* InsertNode(QTreeWidgetItem* parent, CDirectory* node, const QIcon& icon, bool hasChildren);
  QTreeWidgetItem* InsertTopItem(const QString& text, const QIcon& icon);
  // Expands the selected item and answers its child item showing node.
  QTreeWidgetItem* FindChildItem(CDirectory* node);
  // The item of a volume's root (under "Physical Drivers" for a virtual volume, else under
  // "My Computer"), expanded; null when absent.
  QTreeWidgetItem* FindVolumeItem(CLogicalDriver* volume);
  // The child of a volume item that shows the volume's results folder.
  QTreeWidgetItem* FindLostFolderItem(QTreeWidgetItem* volumeItem, CLogicalDriver* volume);
  // The item showing node anywhere below item (depth first), or null.
  QTreeWidgetItem* FindItemOf(QTreeWidgetItem* item, CDirectory* node) const;

  static CDirectory* NodeOf(const QTreeWidgetItem* item);
  bool IsTopItem(const QTreeWidgetItem* item) const { return item && !item->parent(); }

  QTreeWidgetItem* m_pComputer = nullptr;
  QTreeWidgetItem* m_pDisks = nullptr;

 private:
  // Loads the folder when needed and inserts its child folders.
  void ExpandInTree(QTreeWidgetItem* item);
};

class CFoldersTreeDlg : public QWidget {
  Q_OBJECT
 public:
  CFoldersTreeDlg(CKelvoDoc* doc, QWidget* parent = nullptr);

  CFSTreeCtrl* Tree() const { return m_pTree; }
  // Inserts every volume and virtual volume of the document that has no item yet (after
  // an image was opened or lost volumes were found) and names every volume item by its
  // volume's state; answers the first new volume item.
  QTreeWidgetItem* SyncVolumes();
  // After the document's Refresh: the items of the devices it took out go (with the items
  // below them), new devices get theirs, and every volume item is named again. The current
  // item stays (a device shown is in use, never taken out).
  void ApplyRefresh(const RefreshOutcome& outcome);
  // The text of a volume's top item: its display name, "(disconnected)" after it when its
  // device went away.
  static QString VolumeItemText(const CLogicalDriver& volume, bool underComputer);
  // Selects the item of node (inserting items on the way through expansion); false when the
  // node is not below any volume item.
  bool SelectNode(CDirectory* node);

 signals:
  // A folder was selected in the tree (null for the top items).
  void FolderSelected(CDirectory* folder);

 private:
  void OnSelectionChanged(QTreeWidgetItem* item);
  // Names each volume item (text, greyed when disconnected).
  void LabelVolumeItems();

  CKelvoDoc* m_pDoc;
  CFSTreeCtrl* m_pTree;
  std::set<CLogicalDriver*> m_inserted;
};
