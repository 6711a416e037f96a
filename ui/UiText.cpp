#include "ui/UiText.h"

#include "settings/Language.h"
#include "tasks/ProgressFigures.h"

QString Tr(const char* key, const char16_t* english) { return QString::fromStdU16String(GetString(key, english)); }

QString TrCount(qulonglong n, const char* keyOne, const char16_t* one, const char* keyMany, const char16_t* many) {
  return (n == 1 ? Tr(keyOne, one) : Tr(keyMany, many)).arg(n);
}

QString ItemCountText(qulonglong n) { return TrCount(n, "IDS_ITEMS_ONE", u"%1 item", "IDS_ITEMS", u"%1 items"); }

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
