#include "ui/Thumbnailer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>
#include <QMimeType>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <array>

#include "app/App.h"
#include "platform/TempFiles.h"
#include "platform/Text.h"
#include "tree/DirEntry.h"
#include "tree/OutputFile.h"
#include "ui/GuiApp.h"
#include "ui/PictureDecoder.h"

namespace {

using text::EqualsNoCaseAscii;

constexpr std::array<std::u16string_view, tempfiles::kReservedCount> kThumbnailTypes = {
    u"PSD", u"CR2", u"NEF", u"RAF", u"PEF", u"ORF", u"PPT", u"VSD", u"PPTX", u"CDR", u"DWG", u"HTM", u"HTML", u"MHT",
    u"PDF", u"EML", u"3GP", u"3G2", u"ASF", u"AVI", u"M4V", u"MOV", u"MP3",  u"MP4", u"MPG", u"WAV", u"WMV"};

}  // namespace

int ThumbnailTypeIndex(std::u16string_view extension) {
  for (size_t i = 0; i < kThumbnailTypes.size(); ++i)
    if (EqualsNoCaseAscii(extension, kThumbnailTypes[i])) return int(i);
  return -1;
}

// Thumbnailers (the freedesktop thumbnail convention): key files "*.thumbnailer" with a
// [Thumbnailer Entry] group holding TryExec (the program that must exist), Exec (the command
// line; %i input path, %u input URI, %o output PNG path, %s size in pixels, %% a percent
// sign) and MimeType (types separated by ';').
namespace {

struct CThumbnailer {
  QString strTryExec, strExec;
  QStringList mimeTypes;
};

QStringList ThumbnailerFolders() {
  QStringList folders;
  QString home = qEnvironmentVariable("XDG_DATA_HOME");
  if (home.isEmpty()) home = QDir::homePath() + QStringLiteral("/.local/share");
  folders << home;
  QString dirs = qEnvironmentVariable("XDG_DATA_DIRS");
  if (dirs.isEmpty()) dirs = QStringLiteral("/usr/local/share:/usr/share");
  folders << dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts);
  for (QString& f : folders) f += QStringLiteral("/thumbnailers");
  return folders;
}

bool ReadThumbnailer(const QString& path, CThumbnailer& out) {
  QFile file(path);
  if (file.size() > 65536 || !file.open(QIODevice::ReadOnly)) return false;
  bool inGroup = false;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine(4096)).trimmed();
    if (line.startsWith(QLatin1Char('['))) {
      inGroup = line == QStringLiteral("[Thumbnailer Entry]");
      continue;
    }
    if (!inGroup || line.startsWith(QLatin1Char('#'))) continue;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) continue;
    const QString key = line.left(eq).trimmed(), value = line.mid(eq + 1).trimmed();
    if (key == QStringLiteral("TryExec")) out.strTryExec = value;
    else if (key == QStringLiteral("Exec")) out.strExec = value;
    else if (key == QStringLiteral("MimeType")) out.mimeTypes = value.split(QLatin1Char(';'), Qt::SkipEmptyParts);
  }
  return !out.strExec.isEmpty();
}

bool ProgramExists(const QString& program) {
  if (program.contains(QLatin1Char('/'))) return QFileInfo(program).isExecutable();
  return !QStandardPaths::findExecutable(program).isEmpty();
}

// The Exec line split into arguments (double quotes group, a backslash escapes inside them).
QStringList SplitExec(const QString& exec) {
  QStringList args;
  QString current;
  bool quoted = false, any = false;
  for (qsizetype i = 0; i < exec.size(); ++i) {
    const QChar c = exec[i];
    if (quoted) {
      if (c == QLatin1Char('\\') && i + 1 < exec.size()) current += exec[++i];
      else if (c == QLatin1Char('"')) quoted = false;
      else current += c;
    } else if (c == QLatin1Char('"')) {
      quoted = any = true;
    } else if (c.isSpace()) {
      if (any) args << current;
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (any) args << current;
  return args;
}

QString ExpandFieldCodes(const QString& arg, const QString& input, const QString& output, int size) {
  QString result;
  for (qsizetype i = 0; i < arg.size(); ++i) {
    if (arg[i] != QLatin1Char('%') || i + 1 >= arg.size()) {
      result += arg[i];
      continue;
    }
    const QChar code = arg[++i];
    if (code == QLatin1Char('i')) result += input;
    else if (code == QLatin1Char('u')) result += QUrl::fromLocalFile(input).toString(QUrl::FullyEncoded);
    else if (code == QLatin1Char('o')) result += output;
    else if (code == QLatin1Char('s')) result += QString::number(size);
    else if (code == QLatin1Char('%')) result += QLatin1Char('%');
  }
  return result;
}

bool FindThumbnailer(const QString& extension, CThumbnailer& out) {
  QMimeDatabase db;
  const QMimeType type = db.mimeTypeForFile(QStringLiteral("x.") + extension, QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return false;
  QStringList names = type.aliases();
  names.prepend(type.name());
  for (const QString& folder : ThumbnailerFolders()) {
    QDir dir(folder);
    for (const QString& file : dir.entryList({QStringLiteral("*.thumbnailer")}, QDir::Files, QDir::Name)) {
      CThumbnailer t;
      if (!ReadThumbnailer(dir.filePath(file), t)) continue;
      bool match = std::any_of(names.begin(), names.end(), [&](const QString& n) { return t.mimeTypes.contains(n); });
      if (!match) continue;
      const QStringList args = SplitExec(t.strExec);
      if (args.isEmpty()) continue;
      if (!t.strTryExec.isEmpty() && !ProgramExists(t.strTryExec)) continue;
      if (!ProgramExists(args.front())) continue;
      out = t;
      return true;
    }
  }
  return false;
}

}  // namespace

bool GetShellThumbnail(CFSFile* item, QImage* out, int width, int height, int timeoutMs) {
  if (!item || !out) return false;
  const int index = ThumbnailTypeIndex(item->m_strExtension);
  if (index < 0) return false;
  const QString extension = Q(item->m_strExtension);
  CThumbnailer thumbnailer;
  if (!FindThumbnailer(extension, thumbnailer)) return false;

  // A private folder (mode 0700) in the temporary folder holds the copy and the thumbnail,
  // and goes with everything in it when this returns.
  QTemporaryDir folder(QString::fromStdString(tempfiles::TempDirectory()) + QStringLiteral("/quarrow-thumb-XXXXXX"));
  if (!folder.isValid()) return false;
  const std::string& stem = TheApp().m_tempNames.Stem(index);
  const QString input =
      folder.filePath((stem.empty() ? QStringLiteral("preview") : QString::fromStdString(stem)) + QLatin1Char('.') + extension);
  const QString output = folder.filePath(QStringLiteral("thumbnail.png"));
  {
    CDiskOutputFile file;
    if (!file.Create(QFile::encodeName(input).toStdString(), false, nullptr)) return false;
    const bool written = item->WriteContent(file, nullptr, 0);
    if (!file.Close() || !written) return false;
  }
  const int size = std::max(1, std::max(width, height));
  QStringList args = SplitExec(thumbnailer.strExec);
  for (QString& a : args) a = ExpandFieldCodes(a, input, output, size);

  QProcess process;
  process.setWorkingDirectory(folder.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("TMPDIR"), folder.path());
  process.setProcessEnvironment(env);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  process.start(args.front(), args.mid(1));
  if (!process.waitForStarted(timeoutMs)) return false;
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished(2000);
    return false;
  }
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return false;
  QImageReader reader(output);
  reader.setAllocationLimit(int(kMaxPicturePixels * 4 / (1024 * 1024)));
  QImage image;
  if (!reader.read(&image) || image.isNull()) return false;
  *out = image;
  return true;
}
