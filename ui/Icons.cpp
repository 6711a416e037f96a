#include "ui/Icons.h"

#include <QApplication>
#include <QHash>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>

namespace icons {
namespace {

QIcon Standard(QStyle::StandardPixmap sp) { return QApplication::style()->standardIcon(sp); }

QIcon Themed(const char* name, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(QString::fromLatin1(name), Standard(fallback));
}

// The deleted mark: a small red circle with a white bar, drawn at run time so that it
// scales with the icon.
void PaintDeletedMark(QPainter& p, const QRect& r) {
  // Large enough to be seen at 16 pixels: five eighths of the icon.
  int d = std::max(10, r.width() * 5 / 8);
  QRect mark(r.left(), r.bottom() - d + 1, d, d);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::white, std::max(1, d / 8)));
  p.setBrush(QColor(200, 30, 30));
  p.drawEllipse(mark.adjusted(0, 0, -1, -1));
  p.setPen(QPen(Qt::white, std::max(1, d / 5), Qt::SolidLine, Qt::RoundCap));
  int m = d / 4;
  p.drawLine(mark.left() + m, mark.center().y(), mark.right() - m, mark.center().y());
}

}  // namespace

QIcon Computer() { return Themed("computer", QStyle::SP_ComputerIcon); }
QIcon Disks() { return Themed("drive-multidisk", QStyle::SP_DriveHDIcon); }
QIcon FixedVolume() { return Themed("drive-harddisk", QStyle::SP_DriveHDIcon); }
QIcon RemovableVolume() { return Themed("drive-removable-media", QStyle::SP_DriveFDIcon); }
QIcon Folder() { return Themed("folder", QStyle::SP_DirClosedIcon); }
QIcon FolderOpen() { return Themed("folder-open", QStyle::SP_DirOpenIcon); }
// The program's own icon once installed (hicolor "quarrow"), else a themed stand-in.
QIcon Program() {
  QIcon own = QIcon::fromTheme(QStringLiteral("quarrow"));
  return own.isNull() ? Themed("system-search", QStyle::SP_DriveHDIcon) : own;
}

QIcon ForFileName(const QString& name) {
  static QMimeDatabase db;
  static QHash<QString, QIcon> cache;
  QMimeType type = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
  QString key = type.name();
  auto it = cache.constFind(key);
  if (it != cache.constEnd()) return *it;
  QIcon icon = QIcon::fromTheme(type.iconName());
  if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
  if (icon.isNull()) icon = Standard(QStyle::SP_FileIcon);
  cache.insert(key, icon);
  return icon;
}

QIcon ForExtension(const QString& extension) { return ForFileName(QStringLiteral("x.") + extension); }

QIcon Deleted(const QIcon& icon) {
  // Lists ask for the marked icon of every deleted row they paint: made once per icon.
  static QHash<qint64, QIcon> cache;
  auto hit = cache.constFind(icon.cacheKey());
  if (hit != cache.constEnd()) return *hit;
  QIcon out;
  for (int size : {16, 24, 32, 48}) {
    QPixmap source = icon.pixmap(size, size);
    // The icon may come in fewer sizes than asked for: every size gets a pixmap of its own.
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    if (!source.isNull()) p.drawPixmap(QRect(0, 0, size, size), source);
    PaintDeletedMark(p, QRect(0, 0, size, size));
    p.end();
    out.addPixmap(pm);
  }
  cache.insert(icon.cacheKey(), out);
  return out;
}

}  // namespace icons
