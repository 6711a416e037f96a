// A tree whose items carry three-state check boxes, for choosing groups of things with
// their members (the deep scan's file types).
//
// Check states: 0 no check box, 1 unchecked, 2 partially checked, 3 checked. An item's
// state is shown as the view's standard check indicator (no indicator for 0); the tree keeps
// the states itself, so Qt's own check toggling never interferes with the rules below.
//
// Rules:
//   SetCheck(item, state, down) sets the item's state; for states 1 to 3 it then (with down)
//   gives every descendant that has a check box the same state, and walks up: while all
//   siblings with a check box share the state, the parent (when it has a check box) takes it
//   too and the walk goes on from the parent; at the first level where a sibling differs,
//   that parent and every further ancestor with a check box become partially checked.
//   A left click on an item's check box selects the item and toggles it (checked becomes
//   unchecked, unchecked or partial becomes checked), with propagation; the space bar
//   toggles the current item the same way when it has a check box.
#pragma once

#include <QTreeWidget>

enum : int { CHECK_NONE = 0, CHECK_UNCHECKED = 1, CHECK_PARTIAL = 2, CHECK_CHECKED = 3 };

class CMutiTreeCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CMutiTreeCtrl(QWidget* parent = nullptr);

  // Sets item's state (0 to 3; anything else is ignored) as described above.
  void SetCheck(QTreeWidgetItem* item, int state, bool propagateDown = true);
  // The item's state, 0 to 3; 0 for a null item.
  int GetCheck(const QTreeWidgetItem* item) const;
  // The user's toggle: 3 becomes 1, 1 and 2 become 3, with propagation; nothing for an item
  // without a check box. Answers whether it toggled.
  bool ToggleCheck(QTreeWidgetItem* item);

  // Where item's check box is drawn, in viewport coordinates; empty when it has none or is
  // not shown.
  QRect CheckBoxRect(const QTreeWidgetItem* item) const;

 signals:
  // The user toggled item (by click or space bar); the states of its relatives may have
  // changed with it.
  void CheckToggled(QTreeWidgetItem* item);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void StoreState(QTreeWidgetItem* item, int state);
  void SetDescendants(QTreeWidgetItem* item, int state);
  // The item whose check box lies under the viewport point, or null.
  QTreeWidgetItem* CheckBoxAt(const QPoint& pos) const;
};
