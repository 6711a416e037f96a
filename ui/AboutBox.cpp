#include "ui/AboutBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/Icons.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutBox"));
  setWindowTitle(QStringLiteral("About Tarnwell Quarrow"));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("programIcon"));
  icon->setPixmap(icons::Program().pixmap(48, 48));
  auto* version = new QLabel(QStringLiteral("Tarnwell Quarrow Version 1.92"), this);
  version->setObjectName(QStringLiteral("version"));
  version->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addSpacing(12);
  row->addWidget(version, 1, Qt::AlignVCenter);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 12);
  layout->addLayout(row);
  layout->addSpacing(16);
  layout->addWidget(buttons);
  QSize size = sizeHint();
  setFixedSize(std::max(340, size.width()), size.height());
}

void ShowAboutBox(QWidget* parent) {
  CAboutDlg dialog(parent);
  dialog.exec();
}
