#include "ui/PreviewPane.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QListView>
#include <QMimeDatabase>
#include <QPainter>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStackedLayout>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cstring>

#include "app/App.h"
#include "platform/LocalTime.h"
#include "platform/TempFiles.h"
#include "platform/Text.h"
#include "tree/DirEntry.h"
#include "tree/OutputFile.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"

namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

bool SameNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }

// DOS date and time fields as local time, the daylight-saving rule left to the library.
int64_t DosTime(uint16_t date, uint16_t time) {
  localtime_::CalendarFields f;
  f.nYear = 1980 + (date >> 9);
  f.nMonth = (date >> 5) & 15;
  f.nDay = date & 31;
  f.nHour = time >> 11;
  f.nMinute = (time >> 5) & 63;
  f.nSecond = (time & 31) * 2;
  int64_t t = 0;
  return localtime_::FromLocal(f, t) ? t : 0;
}

std::u16string NameFromBytes(const uint8_t* p, size_t n, bool utf8) {
  std::string_view bytes(reinterpret_cast<const char*>(p), n);
  return utf8 ? text::FromUtf8(bytes) : text::FromLocale(bytes);
}

bool IsFolderName(const std::u16string& name) { return !name.empty() && (name.back() == u'/' || name.back() == u'\\'); }

constexpr std::array<std::u16string_view, 16> kRawExtensions = {u"nef", u"crw", u"cr2", u"dng", u"arw", u"erf",
                                                                u"3fr", u"dcr", u"raw", u"x3f", u"mef", u"raf",
                                                                u"mrw", u"pef", u"sr2", u"orf"};
constexpr std::array<std::u16string_view, 10> kTextExtensions = {u"txt", u"log", u"ini", u"inf", u"bat",
                                                                 u"h",   u"c",   u"cpp", u"pas", u"xml"};
constexpr std::array<std::u16string_view, tempfiles::kReservedCount> kThumbnailTypes = {
    u"PSD", u"CR2", u"NEF", u"RAF", u"PEF", u"ORF", u"PPT", u"VSD", u"PPTX", u"CDR", u"DWG", u"HTM", u"HTML", u"MHT",
    u"PDF", u"EML", u"3GP", u"3G2", u"ASF", u"AVI", u"M4V", u"MOV", u"MP3",  u"MP4", u"MPG", u"WAV", u"WMV"};

}  // namespace

int ClassifyPreview(std::u16string_view ext) {
  const std::u16string_view e3 = ext.size() > 3 ? ext.substr(ext.size() - 3) : ext;
  const std::u16string_view e4 = ext.size() > 4 ? ext.substr(ext.size() - 4) : ext;
  if (SameNoCase(e4, u"wbmp")) return PICTURE_WBMP;
  if (SameNoCase(e3, u"bmp")) return PICTURE_BMP;
  if (SameNoCase(e3, u"gif")) return PICTURE_GIF;
  if (SameNoCase(e3, u"jpg") || SameNoCase(e4, u"jpeg")) return PICTURE_JPEG;
  if (SameNoCase(e3, u"png")) return PICTURE_PNG;
  if (SameNoCase(e3, u"ico")) return PICTURE_ICO;
  if (SameNoCase(e3, u"tif") || SameNoCase(e4, u"tiff")) return PICTURE_TIFF;
  if (SameNoCase(e3, u"tga")) return PICTURE_TGA;
  if (SameNoCase(e3, u"pcx")) return PICTURE_PCX;
  if (SameNoCase(e3, u"wmf") || SameNoCase(e3, u"emf")) return PICTURE_WMF;
  for (auto raw : kRawExtensions)
    if (SameNoCase(e3, raw)) return PICTURE_RAW;
  for (auto t : kTextExtensions)
    if (SameNoCase(e3, t)) return PREVIEW_TEXT;
  if (SameNoCase(e3, u"zip")) return PREVIEW_ZIP;
  if (SameNoCase(e3, u"rar")) return PREVIEW_RAR;
  return PREVIEW_NONE;
}

QRect FitPicture(int w, int h, int W, int H) {
  if (w <= 0 || h <= 0 || W <= 0 || H <= 0) return {};
  if (w < W && h < H) return QRect((W - w) / 2, (H - h) / 2, w, h);
  // The ratios are single precision; the scaled side is computed from them in double
  // precision and truncated (a 600 x 800 picture in 400 x 400 is 299 wide, not 300).
  const float r = float(h) / float(w);
  if (float(H) / float(W) < r) {
    const int width = int(double(H) / double(r));
    return QRect((W - width) / 2, 0, width, H);
  }
  const int height = int(double(W) * double(r));
  return QRect(0, (H - height) / 2, W, height);
}

bool IsPreviewSizeAllowed(uint64_t size) {
  return size <= uint64_t(TheApp().m_settings.PreviewLargeFile) * 1048576;
}

// ZIP: the end-of-central-directory record (signature 50 4B 05 06, 22 bytes plus a comment
// of up to 65535) gives the central directory's entry count (16-bit at 10), size (32-bit at
// 12) and offset (32-bit at 16); ZIP64 archives put 0xFFFF / 0xFFFFFFFF there and the real
// values in the ZIP64 end record (signature 50 4B 06 06: count 64-bit at 32, size at 40,
// offset at 48), found through the locator (50 4B 06 07, 20 bytes before the end record,
// the end record's offset 64-bit at 8). Each central entry (50 4B 01 02, 46 bytes) has the
// flags at 8 (bit 11: UTF-8 name), DOS time and date at 12 and 14, sizes at 20 (compressed)
// and 24 (uncompressed), name, extra and comment lengths at 28, 30 and 32; the ZIP64 extra
// field (id 1) holds the 64-bit uncompressed size first when the 32-bit one is 0xFFFFFFFF.
// A local header (50 4B 03 04, 30 bytes) has the same fields at 6, 10, 12, 18, 22, 26 and 28.
namespace {

bool ZipCentralDirectory(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (size < 22) return false;
  size_t eocd = SIZE_MAX;
  const size_t lowest = size - 22 > 65535 ? size - 22 - 65535 : 0;
  for (size_t i = size - 22 + 1; i-- > lowest;) {
    if (Le32(data + i) == 0x06054B50 && i + 22 + Le16(data + i + 20) <= size) {
      eocd = i;
      break;
    }
  }
  if (eocd == SIZE_MAX) return false;
  uint64_t count = Le16(data + eocd + 10), cdSize = Le32(data + eocd + 12), cdOffset = Le32(data + eocd + 16);
  uint64_t recordStart = eocd;
  if ((count == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF) && eocd >= 20 &&
      Le32(data + eocd - 20) == 0x07064B50) {
    const uint64_t z = Le64(data + eocd - 20 + 8);
    if (z <= eocd - 20 && eocd - 20 - z >= 56 && Le32(data + z) == 0x06064B50) {
      count = Le64(data + z + 32);
      cdSize = Le64(data + z + 40);
      cdOffset = Le64(data + z + 48);
      recordStart = z;
    }
  }
  // The directory lies before the end record. Data put in front of the archive (a
  // self-extractor) shifts it: then it ends right where the end record begins.
  if (cdSize > recordStart) return false;
  uint64_t start = cdOffset;
  if (cdOffset > recordStart - cdSize || (cdSize >= 4 && Le32(data + cdOffset) != 0x02014B50)) {
    start = recordStart - cdSize;
    if (cdSize >= 4 && Le32(data + start) != 0x02014B50) return false;
  }
  const uint64_t end = start + cdSize;
  std::vector<CArchiveEntry> entries;
  uint64_t p = start;
  for (uint64_t k = 0; k < count; ++k) {
    if (end - p < 46 || Le32(data + p) != 0x02014B50) break;
    const uint8_t* h = data + p;
    const uint64_t nameLen = Le16(h + 28), extraLen = Le16(h + 30), commentLen = Le16(h + 32);
    if (end - p - 46 < nameLen + extraLen + commentLen) break;
    CArchiveEntry e;
    e.strName = NameFromBytes(h + 46, nameLen, Le16(h + 8) & 0x0800);
    e.nSize = Le32(h + 24);
    e.tModified = DosTime(Le16(h + 14), Le16(h + 12));
    if (e.nSize == 0xFFFFFFFF) {
      const uint8_t* x = h + 46 + nameLen;
      for (uint64_t q = 0; q + 4 <= extraLen;) {
        const uint16_t id = Le16(x + q), len = Le16(x + q + 2);
        if (q + 4 + len > extraLen) break;
        if (id == 0x0001 && len >= 8) {
          e.nSize = Le64(x + q + 4);
          break;
        }
        q += 4 + uint64_t(len);
      }
    }
    if (!IsFolderName(e.strName)) entries.push_back(std::move(e));
    p += 46 + nameLen + extraLen + commentLen;
  }
  // A directory that announces entries but holds none readable is not taken.
  if (count > 0 && p == start) return false;
  out = std::move(entries);
  return true;
}

// The walk over local headers from the start: ends at the first block that is not a local
// header (normally the central directory), at data cut short, or at an entry whose sizes
// follow its data (a data descriptor), since its data cannot be skipped.
bool ZipLocalHeaders(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  if (size < 4 || Le32(data) != 0x04034B50) return false;
  uint64_t p = 0;
  while (size - p >= 30 && Le32(data + p) == 0x04034B50) {
    const uint8_t* h = data + p;
    const uint64_t nameLen = Le16(h + 26), extraLen = Le16(h + 28), packed = Le32(h + 18);
    if (size - p - 30 < nameLen) break;
    CArchiveEntry e;
    e.strName = NameFromBytes(h + 30, nameLen, Le16(h + 6) & 0x0800);
    e.nSize = Le32(h + 22);
    e.tModified = DosTime(Le16(h + 12), Le16(h + 10));
    if (nameLen > 0 && !IsFolderName(e.strName)) out.push_back(std::move(e));
    const uint64_t next = p + 30 + nameLen + extraLen + packed;
    if (next > size) break;
    p = next;
  }
  return true;
}

}  // namespace

bool ListZipEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  out.clear();
  if (!data) return false;
  if (ZipCentralDirectory(data, size, out)) return true;
  out.clear();
  return ZipLocalHeaders(data, size, out);
}

// RAR 1.5 to 4: the marker block 52 61 72 21 1A 07 00, then blocks that each start with a
// 7-byte header: CRC (16-bit), type, flags (16-bit), header size (16-bit). Flag 0x8000 adds a
// 32-bit data size right after those 7 bytes. The archive header (type 0x73) comes first.
// A file header (0x74) continues with packed size (32-bit at 7), unpacked size (11), host
// system (15), CRC (16), DOS time and date (20, 22), versions (24, 25), name size (16-bit at
// 26) and attributes (32-bit at 28); flag 0x100 adds the high halves of both sizes (32 and
// 36) before the name, which follows at 32 (or 40); flag 0x200 marks a name with a Unicode
// form after a zero byte, or in UTF-8 when there is no zero byte; flags 0xE0 all set mark a
// folder. The packed data follows the header. Type 0x7B ends the archive.
//
// RAR 5: the marker 52 61 72 21 1A 07 01 00, then blocks of CRC32, header size (vint, the
// bytes after it), type, flags (bit 0: extra area size follows, bit 1: data size follows),
// and for a file header (type 2): file flags (bit 0 folder, bit 1 modification time as a
// 32-bit Unix time, bit 2 CRC32), unpacked size, attributes, [time], [CRC], compression,
// host system, name length and the UTF-8 name. Type 4 (encrypted headers) and 5 (end) stop
// the walk. A vint is 7 bits a byte, least significant first, the top bit set on all bytes
// but the last.
namespace {

bool ListRar4(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  uint64_t p = 7;
  // The archive header.
  if (size - p < 7 || data[p + 2] != 0x73 || Le16(data + p + 5) < 7) return true;
  p += Le16(data + p + 5);
  while (p <= size && size - p >= 7) {
    const uint8_t* h = data + p;
    const uint8_t type = h[2];
    const uint16_t flags = Le16(h + 3), headSize = Le16(h + 5);
    if (headSize < 7 || headSize > size - p || type == 0x7B) break;
    uint64_t dataSize = 0;
    if (type == 0x74) {
      if (headSize < 32) break;
      dataSize = Le32(h + 7);
      uint64_t unpacked = Le32(h + 11);
      const uint8_t host = h[15];
      const uint16_t nameSize = Le16(h + 26);
      const uint32_t attributes = Le32(h + 28);
      uint64_t nameAt = 32;
      if (flags & 0x100) {
        if (headSize < 40) break;
        dataSize |= uint64_t(Le32(h + 32)) << 32;
        unpacked |= uint64_t(Le32(h + 36)) << 32;
        nameAt = 40;
      }
      if (nameAt + nameSize > headSize) break;
      const uint8_t* name = h + nameAt;
      size_t nameLen = nameSize;
      bool utf8 = false;
      if (flags & 0x200) {
        const void* zero = std::memchr(name, 0, nameSize);
        if (zero) nameLen = size_t(static_cast<const uint8_t*>(zero) - name);
        else utf8 = true;
      }
      // A folder: the folder flags, or (for archives made on DOS, OS/2 and Windows) the
      // directory attribute without the volume-label attribute.
      const bool folder = (flags & 0xE0) == 0xE0 || (host <= 2 && (attributes & 0x10) && !(attributes & 0x08));
      if (!folder) {
        CArchiveEntry e;
        e.strName = NameFromBytes(name, nameLen, utf8);
        e.nSize = unpacked;
        e.tModified = DosTime(Le16(h + 22), Le16(h + 20));
        out.push_back(std::move(e));
      }
    } else if (flags & 0x8000) {
      if (headSize < 11) break;
      dataSize = Le32(h + 7);
    }
    if (dataSize > size - p - headSize) break;
    p += headSize + dataSize;
  }
  return true;
}

bool ReadVint(const uint8_t* data, uint64_t end, uint64_t& p, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64 && p < end; shift += 7) {
    const uint8_t b = data[p++];
    value |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

bool ListRar5(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  uint64_t p = 8;
  while (size - p >= 7) {
    uint64_t q = p + 4, headSize = 0;
    if (!ReadVint(data, size, q, headSize) || headSize == 0 || headSize > size - q) break;
    const uint64_t end = q + headSize;
    uint64_t type = 0, flags = 0, extraSize = 0, dataSize = 0;
    if (!ReadVint(data, end, q, type) || !ReadVint(data, end, q, flags)) break;
    if ((flags & 1) && !ReadVint(data, end, q, extraSize)) break;
    if ((flags & 2) && !ReadVint(data, end, q, dataSize)) break;
    if (type == 4 || type == 5) break;
    if (type == 2) {
      uint64_t fileFlags = 0, unpacked = 0, attributes = 0, compression = 0, host = 0, nameLen = 0;
      if (!ReadVint(data, end, q, fileFlags) || !ReadVint(data, end, q, unpacked) ||
          !ReadVint(data, end, q, attributes))
        break;
      int64_t modified = 0;
      if (fileFlags & 2) {
        if (end - q < 4) break;
        modified = Le32(data + q);
        q += 4;
      }
      if (fileFlags & 4) {
        if (end - q < 4) break;
        q += 4;
      }
      if (!ReadVint(data, end, q, compression) || !ReadVint(data, end, q, host) || !ReadVint(data, end, q, nameLen) ||
          nameLen > end - q)
        break;
      if (!(fileFlags & 1)) {
        CArchiveEntry e;
        e.strName = NameFromBytes(data + q, size_t(nameLen), true);
        e.nSize = unpacked;
        e.tModified = modified;
        out.push_back(std::move(e));
      }
    }
    if (dataSize > size - end) break;
    p = end + dataSize;
  }
  return true;
}

}  // namespace

bool ListRarEntries(const uint8_t* data, size_t size, std::vector<CArchiveEntry>& out) {
  out.clear();
  static const uint8_t kRar4[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  static const uint8_t kRar5[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
  if (!data) return false;
  if (size >= 8 && std::memcmp(data, kRar5, 8) == 0) return ListRar5(data, size, out);
  if (size >= 7 && std::memcmp(data, kRar4, 7) == 0) return ListRar4(data, size, out);
  return false;
}

int ThumbnailTypeIndex(std::u16string_view extension) {
  for (size_t i = 0; i < kThumbnailTypes.size(); ++i)
    if (SameNoCase(extension, kThumbnailTypes[i])) return int(i);
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

// ---------------------------------------------------------------------------------------------

CPictureCanvas::CPictureCanvas(QWidget* parent) : QWidget(parent) {
  setAccessibleName(QStringLiteral("Picture Preview Canvas"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CPictureCanvas::SetPicture(const CPicture* picture) {
  m_pPicture = picture;
  update();
}

void CPictureCanvas::SetMessage(const QString& message) {
  m_strMessage = message;
  update();
}

QRect CPictureCanvas::PictureRect() const {
  if (!m_pPicture || !m_pPicture->IsValid()) return {};
  return FitPicture(m_pPicture->Width(), m_pPicture->Height(), width(), height());
}

void CPictureCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  if (m_pPicture && m_pPicture->IsValid()) {
    m_pPicture->Draw(painter, PictureRect());
  } else if (!m_strMessage.isEmpty()) {
    painter.setPen(QColor(90, 90, 90));
    painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, m_strMessage);
  }
}

CReadOnlyEdit::CReadOnlyEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setFrameShape(QFrame::StyledPanel);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void CReadOnlyEdit::keyPressEvent(QKeyEvent* event) {
  // Movement, selection and copying pass; anything that would type is swallowed.
  if (!event->text().isEmpty() && event->text().at(0).isPrint() && !(event->modifiers() & Qt::ControlModifier)) {
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void CReadOnlyEdit::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QPlainTextEdit::mouseReleaseEvent(event);
}

void CReadOnlyEdit::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

// ---------------------------------------------------------------------------------------------

CPreviewPane::CPreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("previewPane"));
  m_pStack = new QStackedLayout(this);
  m_pStack->setContentsMargins(0, 0, 0, 0);
  m_pCanvas = new CPictureCanvas(this);
  m_pCanvas->setObjectName(QStringLiteral("pictureCanvas"));
  m_pText = new CReadOnlyEdit(this);
  m_pText->setObjectName(QStringLiteral("textView"));
  m_pArchive = new CFSListCtrl(false, false, this);
  m_pArchive->setObjectName(QStringLiteral("archiveList"));
  m_pArchive->DetailsView()->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pArchive->IconView()->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pStack->addWidget(m_pCanvas);
  m_pStack->addWidget(m_pText);
  m_pStack->addWidget(m_pArchive);
  m_pStack->setCurrentWidget(m_pCanvas);
  setMinimumSize(80, 60);
  GuiApp().m_loadPreview = [this](CDirEntry* item) { LoadPreview(item); };
}

CPreviewPane::~CPreviewPane() {
  GuiApp().m_loadPreview = nullptr;
  m_pArchive->Model()->Clear();
}

void CPreviewPane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QWidget::mouseReleaseEvent(event);
}

void CPreviewPane::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

CPreviewPane::EView CPreviewPane::CurrentView() const {
  QWidget* w = m_pStack->currentWidget();
  if (w == m_pText) return EView::Text;
  if (w == m_pArchive) return EView::Archive;
  return EView::Canvas;
}

QString CPreviewPane::Message() const { return m_picture.IsValid() ? QString() : m_pCanvas->Message(); }

void CPreviewPane::ShowView(EView view) {
  QWidget* w = view == EView::Text ? static_cast<QWidget*>(m_pText)
               : view == EView::Archive ? static_cast<QWidget*>(m_pArchive)
                                        : static_cast<QWidget*>(m_pCanvas);
  m_pStack->setCurrentWidget(w);
  w->update();
}

void CPreviewPane::ShowMessage(const QString& message) {
  m_picture.Clear();
  m_pCanvas->SetPicture(nullptr);
  m_pCanvas->SetMessage(message);
  ShowView(EView::Canvas);
}

void CPreviewPane::ShowPicture(const QImage& image) {
  m_picture.SetImage(image);
  m_pCanvas->SetMessage(QString());
  m_pCanvas->SetPicture(&m_picture);
  ShowView(EView::Canvas);
}

void CPreviewPane::ShowText(const uint8_t* data, size_t size) {
  // Up to the first zero byte, from the locale's code page.
  const void* zero = data ? std::memchr(data, 0, size) : nullptr;
  const size_t n = zero ? size_t(static_cast<const uint8_t*>(zero) - data) : size;
  m_pText->setPlainText(Q(text::FromLocale(std::string_view(reinterpret_cast<const char*>(data), data ? n : 0))));
  ShowView(EView::Text);
}

void CPreviewPane::ShowEntries(std::vector<CArchiveEntry> entries) {
  // The rows go before the nodes they point to.
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();
  for (CArchiveEntry& e : entries) {
    auto node = std::make_unique<CDirEntry>();
    node->m_strName = std::move(e.strName);
    node->m_strExtension = ExtensionOf(node->m_strName);
    node->m_nSize = node->m_nAllocatedSize = e.nSize;
    node->m_tModified = node->m_tCreated = node->m_tAccessed = e.tModified;
    node->m_nStatus = STATUS_EXISTING;
    m_pArchive->Model()->AppendNode(node.get());
    m_archiveEntries.push_back(std::move(node));
  }
  ShowView(EView::Archive);
}

bool CPreviewPane::ShowZipListing(const uint8_t* data, size_t size) {
  std::vector<CArchiveEntry> entries;
  if (!ListZipEntries(data, size, entries)) {
    ShowMessage(QStringLiteral("No preview: the file is not a ZIP archive that can be listed."));
    return false;
  }
  ShowEntries(std::move(entries));
  return true;
}

bool CPreviewPane::ShowRarListing(const uint8_t* data, size_t size) {
  std::vector<CArchiveEntry> entries;
  if (!ListRarEntries(data, size, entries)) {
    ShowMessage(QStringLiteral("No preview: the file is not a RAR archive that can be listed."));
    return false;
  }
  ShowEntries(std::move(entries));
  return true;
}

void CPreviewPane::Clear() {
  m_pItem = nullptr;
  m_strItemName.clear();
  m_nItemSize = 0;
  m_pText->clear();
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();
  ShowMessage(QString());
}

void CPreviewPane::LoadPreview(CDirEntry* item) {
  // The same item again reloads nothing. The name and size are compared too, so that a new
  // node that happens to take a freed node's address is not taken for it.
  if (item && item == m_pItem && item->m_strName == m_strItemName && item->m_nSize == m_nItemSize) return;
  // Release what the previous item left.
  m_pItem = item;
  m_strItemName = item ? item->m_strName : std::u16string();
  m_nItemSize = item ? item->m_nSize : 0;
  m_picture.Clear();
  m_pCanvas->SetPicture(nullptr);
  m_pText->clear();
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();

  auto* file = dynamic_cast<CFSFile*>(item);
  if (!file) {
    ShowMessage(QStringLiteral("No preview."));
    return;
  }
  const uint64_t size = file->GetSize();
  if (!IsPreviewSizeAllowed(size)) {
    ShowMessage(QStringLiteral("No preview: the file is larger than the preview limit of %1 MB (see Options).")
                    .arg(TheApp().m_settings.PreviewLargeFile));
    return;
  }
  const int code = ClassifyPreview(file->m_strExtension);
  if (code == PICTURE_WMF) {
    ShowMessage(QStringLiteral("No preview: WMF and EMF pictures cannot be shown."));
    return;
  }
  StopRunningSearch();
  CWaitCursor wait;
  if (code == PREVIEW_NONE) {
    QImage thumbnail;
    if (GetShellThumbnail(file, &thumbnail, m_pCanvas->width(), m_pCanvas->height())) ShowPicture(thumbnail);
    else ShowMessage(QStringLiteral("No preview for this type of file."));
    return;
  }
  // The whole file in memory, bounded by the limit whatever size the node claims.
  CMemoryOutputFile content(size_t(uint64_t(TheApp().m_settings.PreviewLargeFile) * 1048576));
  if (!file->WriteContent(content, nullptr, 0)) {
    ShowMessage(QStringLiteral("No preview: the file could not be read."));
    return;
  }
  const std::vector<uint8_t>& bytes = content.Bytes();
  if (code == PREVIEW_TEXT) {
    ShowText(bytes.data(), bytes.size());
  } else if (code == PREVIEW_ZIP) {
    ShowZipListing(bytes.data(), bytes.size());
  } else if (code == PREVIEW_RAR) {
    ShowRarListing(bytes.data(), bytes.size());
  } else if (m_picture.Decode(bytes.data(), bytes.size(), code)) {
    m_pCanvas->SetMessage(QString());
    m_pCanvas->SetPicture(&m_picture);
    ShowView(EView::Canvas);
  } else {
    ShowMessage(QStringLiteral("No preview: the picture cannot be shown.\n%1").arg(m_picture.Error()));
  }
}
