#include "ui/UiText.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

#include "device/Driver.h"
#include "settings/Language.h"
#include "tasks/ProgressFigures.h"

QString Tr(const char* key, const char16_t* english) { return QString::fromStdU16String(GetString(key, english)); }

QString TrCount(qulonglong n, const char* keyOne, const char16_t* one, const char* keyMany, const char16_t* many) {
  return (n == 1 ? Tr(keyOne, one) : Tr(keyMany, many)).arg(n);
}

QString ItemCountText(qulonglong n) { return TrCount(n, "IDS_ITEMS_ONE", u"%1 item", "IDS_ITEMS", u"%1 items"); }

QString ShownCountText(qulonglong shown, qulonglong total, bool filtered, bool deletedOnly) {
  QString text = filtered && shown != total ? (total == 1 ? Tr("IDS_UI_ITEMS_OF_ONE", u"%1 of %2 item") : Tr("IDS_UI_ITEMS_OF", u"%1 of %2 items"))
                                .arg(shown)
                                .arg(total)
                          : ItemCountText(total);
  if (deletedOnly) text += QLatin1Char(' ') + Tr("IDS_DELETED_ONLY_SUFFIX", u"(deleted only)");
  return text;
}

QString SelectedCountText(qulonglong n) {
  return TrCount(n, "IDS_SELECTED_ONE", u"%1 item selected", "IDS_SELECTED", u"%1 items selected");
}

QString ProgressPercentText(const ProgressFigures& f) {
  return Tr("IDS_PROGRESS_PERCENT", u"%1% (%2 of %3)")
      .arg(int(f.dFraction * 100))
      .arg(QString::fromStdString(FormatByteCount(f.nBytesDone)), QString::fromStdString(FormatByteCount(f.nBytesTotal)));
}

QString ProgressRateText(const ProgressFigures& f) {
  const QString rate = f.dBytesPerSecond > 0 ? QString::fromStdString(FormatByteCount(uint64_t(f.dBytesPerSecond)))
                                             : QStringLiteral("--");
  return Tr("IDS_PROGRESS_RATE", u"%1/s, %2 elapsed, %3 left")
      .arg(rate, QString::fromStdString(FormatDuration(f.dElapsedSeconds)),
           QString::fromStdString(FormatDuration(f.dRemainingSeconds)));
}

QString VolumeDisplayName(const CDriver& volume) {
  const QString name = QString::fromStdU16String(volume.m_szName);
  const QString root = QString::fromStdU16String(volume.m_strRootText);
  // An image's volume has the image's path (and "#N" for a partition) as its root text and
  // as the start of its name; a mounted or system volume keeps its name.
  if (root.isEmpty() || !name.startsWith(root) || !QFileInfo(QString::fromStdString(volume.m_source.strPath)).isFile())
    return name;
  const qsizetype hash = root.lastIndexOf(QLatin1Char('#'));
  const QString path = hash > 0 && QFileInfo(root.left(hash)).isFile() ? root.left(hash) : root;
  return QFileInfo(path).fileName() + root.mid(path.size()) + name.mid(root.size());
}

void InstallQtTranslations() {
  static QTranslator* s_pTranslator = nullptr;
  if (!QCoreApplication::instance()) return;
  if (s_pTranslator) {
    QCoreApplication::removeTranslator(s_pTranslator);
    delete s_pTranslator;
    s_pTranslator = nullptr;
  }
  const QString file = QFileInfo(QString::fromStdString(LanguageFilePath())).fileName().toLower();
  QString code;
  if (file == QStringLiteral("german.ini")) code = QStringLiteral("de");
  else if (file == QStringLiteral("french.ini")) code = QStringLiteral("fr");
  else if (file == QStringLiteral("spanish.ini")) code = QStringLiteral("es");
  if (code.isEmpty() || !QFileInfo::exists(QString::fromStdString(LanguageFilePath()))) return;
  auto* translator = new QTranslator;
  if (!translator->load(QStringLiteral("qtbase_") + code, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return;
  }
  QCoreApplication::installTranslator(translator);
  s_pTranslator = translator;
}
