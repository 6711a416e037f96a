#include "ui/MutiTreeCtrl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>

namespace {
// Where an item's state (0 to 3) is kept; Qt::CheckStateRole only mirrors it for drawing.
constexpr int kStateRole = Qt::UserRole + 0x3C;

// The view's delegate, opened up so that the check box's rectangle can be computed exactly as
// the delegate lays it out when painting. It never toggles a check box itself (the standard
// delegate would, on the mouse release after the tree's own toggle).
class CCheckDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void InitOption(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }
  bool editorEvent(QEvent*, QAbstractItemModel*, const QStyleOptionViewItem&, const QModelIndex&) override {
    return false;
  }
};
}  // namespace

CMutiTreeCtrl::CMutiTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
  setItemDelegate(new CCheckDelegate(this));
  setHeaderHidden(true);
  setRootIsDecorated(true);
  setUniformRowHeights(true);
}

void CMutiTreeCtrl::StoreState(QTreeWidgetItem* item, int state) {
  item->setFlags(item->flags() & ~(Qt::ItemIsUserCheckable | Qt::ItemIsAutoTristate | Qt::ItemIsUserTristate));
  item->setData(0, kStateRole, state);
  static const Qt::CheckState shown[] = {Qt::Unchecked, Qt::Unchecked, Qt::PartiallyChecked, Qt::Checked};
  // No check-state data at all: the delegate draws no indicator.
  item->setData(0, Qt::CheckStateRole, state == CHECK_NONE ? QVariant() : QVariant(int(shown[state])));
}

int CMutiTreeCtrl::GetCheck(const QTreeWidgetItem* item) const {
  if (!item) return CHECK_NONE;
  bool ok = false;
  int state = item->data(0, kStateRole).toInt(&ok);
  return ok && state >= CHECK_NONE && state <= CHECK_CHECKED ? state : CHECK_NONE;
}

void CMutiTreeCtrl::SetDescendants(QTreeWidgetItem* item, int state) {
  for (int i = 0; i < item->childCount(); ++i) {
    QTreeWidgetItem* child = item->child(i);
    if (GetCheck(child) != CHECK_NONE) StoreState(child, state);
    SetDescendants(child, state);
  }
}

void CMutiTreeCtrl::SetCheck(QTreeWidgetItem* item, int state, bool propagateDown) {
  if (!item || state < CHECK_NONE || state > CHECK_CHECKED) return;
  StoreState(item, state);
  if (state == CHECK_NONE) return;
  if (propagateDown) SetDescendants(item, state);
  for (QTreeWidgetItem* parent = item->parent(); parent; parent = parent->parent()) {
    bool allSame = true;
    for (int i = 0; i < parent->childCount() && allSame; ++i) {
      int sibling = GetCheck(parent->child(i));
      allSame = sibling == CHECK_NONE || sibling == state;
    }
    if (!allSame) {
      for (QTreeWidgetItem* a = parent; a; a = a->parent())
        if (GetCheck(a) != CHECK_NONE) StoreState(a, CHECK_PARTIAL);
      return;
    }
    if (GetCheck(parent) != CHECK_NONE) StoreState(parent, state);
  }
}

bool CMutiTreeCtrl::ToggleCheck(QTreeWidgetItem* item) {
  int state = GetCheck(item);
  if (state == CHECK_NONE) return false;
  SetCheck(item, state == CHECK_CHECKED ? CHECK_UNCHECKED : CHECK_CHECKED, true);
  emit CheckToggled(item);
  return true;
}

QRect CMutiTreeCtrl::CheckBoxRect(const QTreeWidgetItem* item) const {
  if (GetCheck(item) == CHECK_NONE) return {};
  QModelIndex index = indexFromItem(item, 0);
  QRect cell = visualRect(index);
  if (!index.isValid() || cell.isEmpty()) return {};
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = cell;
  static_cast<const CCheckDelegate*>(itemDelegate())->InitOption(&option, index);
  const QWidget* widget = option.widget ? option.widget : this;
  return widget->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, widget);
}

QTreeWidgetItem* CMutiTreeCtrl::CheckBoxAt(const QPoint& pos) const {
  QTreeWidgetItem* item = itemAt(pos);
  return item && CheckBoxRect(item).contains(pos) ? item : nullptr;
}

void CMutiTreeCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    if (QTreeWidgetItem* item = CheckBoxAt(event->position().toPoint())) {
      setCurrentItem(item);
      ToggleCheck(item);
    }
  }
  QTreeWidget::mousePressEvent(event);
}

void CMutiTreeCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second click of a double click on a check box is one more toggle; it neither expands
  // nor collapses the item.
  if (event->button() == Qt::LeftButton) {
    if (QTreeWidgetItem* item = CheckBoxAt(event->position().toPoint())) {
      setCurrentItem(item);
      ToggleCheck(item);
      event->accept();
      return;
    }
  }
  QTreeWidget::mouseDoubleClickEvent(event);
}

void CMutiTreeCtrl::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && ToggleCheck(currentItem())) {
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}
