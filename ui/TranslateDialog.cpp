#include "ui/TranslateDialog.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>
#include <optional>
#include <string>

#include "settings/Language.h"
#include "platform/Profile.h"

namespace {

// The value of an "IDD" key, or nothing when the file has no value or an empty one.
std::optional<QString> DialogText(const std::string& key) {
  const std::string& file = LanguageFilePath();
  if (file.empty()) return std::nullopt;
  std::string value = profile::GetString(file, "String", key, std::string(), 999);
  if (value.empty()) return std::nullopt;
  return QString::fromUtf8(value.data(), qsizetype(value.size()));
}

// The tab widget that shows window as one of its pages, or null.
QTabWidget* OwningTabWidget(QWidget* window) {
  // A page added to a QTabWidget lives in the tab widget's stack.
  auto* stack = qobject_cast<QStackedWidget*>(window->parentWidget());
  if (!stack) return nullptr;
  auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget());
  return tabs && tabs->indexOf(window) >= 0 ? tabs : nullptr;
}

void SetText(QWidget* w, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(w))
    label->setText(text);
  else if (auto* button = qobject_cast<QAbstractButton*>(w))
    button->setText(text);
  else if (auto* group = qobject_cast<QGroupBox*>(w))
    group->setTitle(text);
  else if (auto* edit = qobject_cast<QLineEdit*>(w))
    edit->setText(text);
  else
    w->setWindowTitle(text);
}

}  // namespace

void SetControlId(QWidget* widget, int controlId) { widget->setProperty(kControlIdProperty, controlId); }

void TranslateDialog(QWidget* window, int dialogId) {
  if (!window) return;
  const std::string prefix = "IDD" + std::to_string(dialogId) + "_";
  if (auto title = DialogText(prefix + "Title")) {
    window->setWindowTitle(*title);
    if (QTabWidget* tabs = OwningTabWidget(window)) tabs->setTabText(tabs->indexOf(window), *title);
  }
  for (QWidget* child : window->findChildren<QWidget*>()) {
    QVariant id = child->property(kControlIdProperty);
    if (!id.isValid()) continue;
    if (auto text = DialogText(prefix + std::to_string(id.toInt()))) SetText(child, *text);
  }
}
