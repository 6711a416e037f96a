#include "ui/AboutBox.h"
#include "ui/UiText.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>
#include <blkid/blkid.h>
#include <libraw/libraw.h>

#include "ui/Icons.h"

// Set by the build from the project's version, licence and home page.
#ifndef QUARROW_VERSION
#define QUARROW_VERSION "0.0.0"
#endif
#ifndef QUARROW_LICENSE_NAME
#define QUARROW_LICENSE_NAME ""
#endif
#ifndef QUARROW_HOMEPAGE
#define QUARROW_HOMEPAGE ""
#endif

QString LibraryVersionsText() {
  const char* blkid = nullptr;
  blkid_get_library_version(&blkid, nullptr);
  return QStringLiteral("Qt %1, LibRaw %2, libblkid %3")
      .arg(QString::fromLatin1(qVersion()), QString::fromLatin1(libraw_version()),
           QString::fromLatin1(blkid ? blkid : "?"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutBox"));
  setWindowTitle(Tr("IDS_ABOUT_TITLE", u"About Tarnwell Quarrow"));

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("programIcon"));
  icon->setPixmap(icons::Program().pixmap(48, 48));
  auto* version = new QLabel(Tr("IDS_ABOUT_VERSION", u"Tarnwell Quarrow Version %1").arg(QStringLiteral(QUARROW_VERSION)), this);
  version->setObjectName(QStringLiteral("version"));
  version->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont bold = version->font();
  bold.setBold(true);
  version->setFont(bold);

  auto* licence = new QLabel(Tr("IDS_ABOUT_LICENCE", u"Licence: %1").arg(QStringLiteral(QUARROW_LICENSE_NAME)), this);
  licence->setObjectName(QStringLiteral("licence"));
  licence->setTextInteractionFlags(Qt::TextSelectableByMouse);
  const QString homepage = QStringLiteral(QUARROW_HOMEPAGE);
  auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(homepage.toHtmlEscaped()), this);
  link->setObjectName(QStringLiteral("homepage"));
  link->setOpenExternalLinks(true);
  link->setVisible(!homepage.isEmpty());
  auto* libraries = new QLabel(Tr("IDS_ABOUT_LIBRARIES", u"Libraries: %1").arg(LibraryVersionsText()), this);
  libraries->setObjectName(QStringLiteral("libraries"));
  libraries->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* text = new QVBoxLayout;
  text->addWidget(version);
  text->addSpacing(8);
  text->addWidget(licence);
  text->addWidget(link);
  text->addWidget(libraries);
  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addSpacing(12);
  row->addLayout(text, 1);
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
