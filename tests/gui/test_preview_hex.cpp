// The preview pane and the hex view: classification and fitting, the picture layer on a
// small picture of every format, hostile pictures and archives, previews of files read from
// FAT images, the size limit, thumbnails through a thumbnailer, and the hex view over a
// deleted file and over a file far larger than memory.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <csignal>
#include <cstring>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "tree/OutputFile.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"
#include "ui/HexView.h"
#include "ui/PictureDecoder.h"
#include "ui/PreviewPane.h"

namespace {

const QString kPreviewFixtures = QStringLiteral(QUARROW_FIXTURE_DIR "/preview/");

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) throw std::runtime_error(("cannot read " + path).toStdString());
  return f.readAll();
}

const uint8_t* Bytes(const QByteArray& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

// A file node whose content is made as it is read: 1 MiB chunks of a fixed pattern, each chunk
// beginning with its own offset (8 bytes, big-endian), so any byte's value is known from its
// offset. The read can be made to fail at an offset (after the bytes before it were delivered).
class CPatternFile final : public CFSFile {
 public:
  static constexpr size_t kChunk = 1 << 20;

  CPatternFile(uint64_t size, const std::u16string& name, uint64_t failAt = UINT64_MAX) : m_nFailAt(failAt) {
    m_nSize = size;
    m_strName = name;
    m_strExtension = ExtensionOf(name);
  }

  static uint8_t Base(uint64_t r) { return uint8_t(r * 131 + (r >> 8) + 7); }
  static uint8_t ByteAt(uint64_t offset) {
    const uint64_t r = offset % kChunk;
    return r < 8 ? uint8_t((offset - r) >> (56 - 8 * r)) : Base(r);
  }

  bool WriteContent(IOutputFile& out, IProgressWindow*, uint32_t) override {
    ++m_nCalls;
    static const std::vector<uint8_t> base = [] {
      std::vector<uint8_t> b(kChunk);
      for (size_t i = 0; i < kChunk; ++i) b[i] = Base(i);
      return b;
    }();
    std::vector<uint8_t> chunk = base;
    for (uint64_t pos = 0; pos < m_nSize; pos += kChunk) {
      size_t n = size_t(std::min<uint64_t>(kChunk, m_nSize - pos));
      for (int i = 0; i < 8; ++i) chunk[size_t(i)] = uint8_t(pos >> (56 - 8 * i));
      bool fails = pos + n > m_nFailAt;
      if (fails) n = size_t(m_nFailAt - pos);
      if (n && !out.Write(chunk.data(), n)) return false;
      m_nDelivered += n;
      if (fails) return false;
    }
    return true;
  }

  uint64_t m_nFailAt;
  int m_nCalls = 0;
  uint64_t m_nDelivered = 0;
};

// RAR 4 blocks: the marker, the archive header, file headers (each followed by its packed
// bytes) and the end block.
struct RarFile {
  std::string strName;
  uint32_t nUnpacked;
  std::string strPacked;
  bool bFolder;
};
std::string Le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += char(v >> (8 * i));
  return s;
}
std::string Rar4(const std::vector<RarFile>& files) {
  std::string s("Rar!\x1A\x07\x00", 7);
  s += Le(0, 2) + '\x73' + Le(0, 2) + Le(13, 2) + std::string(6, '\0');
  for (const RarFile& f : files) {
    const uint16_t flags = 0x8000 | (f.bFolder ? 0xE0 : 0);
    s += Le(0, 2) + '\x74' + Le(flags, 2) + Le(32 + f.strName.size(), 2);
    s += Le(f.strPacked.size(), 4) + Le(f.nUnpacked, 4) + '\x02' + Le(0, 4);
    s += Le((13 << 11) | (5 << 5) | 10, 2) + Le(((2022 - 1980) << 9) | (3 << 5) | 4, 2);  // 2022-03-04 13:05:20
    s += '\x1d' + std::string("\x30") + Le(f.strName.size(), 2) + Le(f.bFolder ? 0x10 : 0x20, 4);
    s += f.strName + f.strPacked;
  }
  s += Le(0, 2) + '\x7B' + Le(0x4000, 2) + Le(7, 2);
  return s;
}
std::string Vint(uint64_t v) {
  std::string s;
  do {
    uint8_t b = v & 0x7F;
    v >>= 7;
    s += char(v ? b | 0x80 : b);
  } while (v);
  return s;
}
// RAR 5: a header is CRC32, its size (vint) and the fields; the CRC is not checked by the lister.
std::string Rar5Header(const std::string& fields) { return Le(0, 4) + Vint(fields.size()) + fields; }
std::string Rar5(const std::vector<RarFile>& files) {
  std::string s("Rar!\x1A\x07\x01\x00", 8);
  s += Rar5Header(Vint(1) + Vint(0) + Vint(0));
  for (const RarFile& f : files) {
    std::string fields = Vint(2) + Vint(2) + Vint(f.strPacked.size());
    fields += Vint(f.bFolder ? 3 : 2) + Vint(f.nUnpacked) + Vint(0x20) + Le(1700000000, 4);
    fields += Vint(0) + Vint(1) + Vint(f.strName.size()) + f.strName;
    s += Rar5Header(fields) + f.strPacked;
  }
  s += Rar5Header(Vint(5) + Vint(0) + Vint(0));
  return s;
}

QStringList ListedNames(const std::vector<CArchiveEntry>& entries) {
  QStringList names;
  for (const CArchiveEntry& e : entries) names << Q(e.strName);
  return names;
}

QStringList Column(CFSListModel* m, int column) {
  QStringList out;
  for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, column).data().toString();
  return out;
}

// Colour classes of the fixture pattern's quadrants: R, G, B, W(hite), K (black).
char ColourClass(QRgb c) {
  const int r = qRed(c), g = qGreen(c), b = qBlue(c);
  if (r > 180 && g > 180 && b > 180) return 'W';
  if (r < 80 && g < 80 && b < 80) return 'K';
  if (r > 150 && g < 100 && b < 100) return 'R';
  if (g > 150 && r < 100 && b < 100) return 'G';
  if (b > 150 && r < 100 && g < 100) return 'B';
  return '?';
}

CDirEntry* ChildNamed(CDirectory* folder, const std::u16string& name) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
  for (auto& c : folder->m_children)
    if (Q(c->m_strName).compare(Q(name), Qt::CaseInsensitive) == 0) return c.get();
  return nullptr;
}

}  // namespace

class PreviewHexTest : public QObject {
  Q_OBJECT
  QTemporaryDir m_tmp;
  std::unique_ptr<CKelvoApp> m_app;
  std::unique_ptr<CKelvoDoc> m_doc;  // the test's own FAT image
  std::unique_ptr<CKelvoDoc> m_fixtureDoc;  // fat16.img of the shared fixtures
  CDirectory* m_pRoot = nullptr;
  QString m_strRar;

  CFSFile* File(const char* name) {
    auto* f = dynamic_cast<CFSFile*>(ChildNamed(m_pRoot, QString::fromUtf8(name).toStdU16String()));
    if (!f) qFatal("no file %s in the test image", name);
    return f;
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    // A private temporary folder (reserved names, thumbnail folders) and thumbnailer folders.
    QDir(m_tmp.path()).mkpath(QStringLiteral("tmp"));
    QDir(m_tmp.path()).mkpath(QStringLiteral("data/thumbnailers"));
    qputenv("TMPDIR", QFile::encodeName(m_tmp.filePath(QStringLiteral("tmp"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_tmp.filePath(QStringLiteral("data"))));
    // The system's data folders give the MIME database but none of the system's thumbnailers.
    QDir(m_tmp.path()).mkpath(QStringLiteral("system-data"));
    QVERIFY(QFile::link(QStringLiteral("/usr/share/mime"), m_tmp.filePath(QStringLiteral("system-data/mime"))));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(m_tmp.filePath(QStringLiteral("system-data"))));
    m_app = std::make_unique<CKelvoApp>();
    QVERIFY(m_app->InitCore(nullptr));
    TheApp().m_settings.PreviewLargeFile = 1;

    // A FAT image holding the files to preview, made by mkfs.fat and mcopy.
    QDir src(m_tmp.filePath(QStringLiteral("src")));
    QVERIFY(src.mkpath(QStringLiteral(".")));
    for (const char* name : {"picture.png", "picture.jpg", "picture.pcx", "landscape.jpg", "folder_first.zip",
                             "descriptors.zip"}) {
      QString from = kPreviewFixtures + QString::fromLatin1(name);
      if (QString::fromLatin1(name) == QStringLiteral("picture.pcx")) from = kPreviewFixtures + QStringLiteral("palette8.pcx");
      QVERIFY(QFile::copy(from, src.filePath(QString::fromLatin1(name))));
    }
    auto write = [&](const QString& name, const QByteArray& bytes) {
      QFile f(src.filePath(name));
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(bytes);
    };
    write(QStringLiteral("notes.txt"), QByteArray("First line of the notes.\nSecond line: 42 apples.\n"));
    write(QStringLiteral("zero.txt"), QByteArray("A\0B", 3));
    write(QStringLiteral("broken.png"), ReadAll(kPreviewFixtures + QStringLiteral("picture.png")).left(60));
    write(QStringLiteral("drawing.emf"), QByteArray(200, '\x01'));
    write(QStringLiteral("limit.txt"), QByteArray(1048576, 'L'));
    write(QStringLiteral("over.txt"), QByteArray(1048577, 'O'));
    write(QStringLiteral("letter.pdf"), QByteArray("%PDF-1.4\n% a document the thumbnailer is given\n"));
    write(QStringLiteral("tone.mp3"), QByteArray(300, '\x55'));
    write(QStringLiteral("clip.avi"), QByteArray(300, '\x66'));
    write(QStringLiteral("sheet.docx"), QByteArray(300, '\x77'));
    const std::string rar = Rar4({{"Docs", 0, "", true}, {"Docs\\report.txt", 5000, std::string(40, 'p'), false}});
    write(QStringLiteral("archive.rar"), QByteArray(rar.data(), qsizetype(rar.size())));

    const std::string image = m_tmp.filePath(QStringLiteral("preview.img")).toStdString();
    std::string out, err;
    int rc = RunCommand("mkfs.fat -C -n PREVIEW " + ShellQuote(image) + " 8192 && cd " +
                            ShellQuote(src.path().toStdString()) + " && mcopy -m -i " + ShellQuote(image) + " * ::/",
                        &out, &err);
    QVERIFY2(rc == 0, (out + err).c_str());
    m_doc = MakeImageDocument({QString::fromStdString(image)});
    QCOMPARE(m_doc->Volumes().size(), size_t(1));
    m_pRoot = m_doc->Volumes().front()->m_pRoot;
    QVERIFY(m_pRoot);
    m_fixtureDoc = MakeImageDocument({QString::fromStdString(FixturePath("fat16.img"))});
  }

  void cleanupTestCase() {
    m_doc.reset();
    m_fixtureDoc.reset();
    m_app.reset();
  }

  void classify_data() {
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("code");
    const std::vector<std::pair<const char*, int>> cases = {
        {"JPEG", 3}, {"Jpg", 3},  {"xjpg", 3}, {"jpeg", 3}, {"wbmp", 9},  {"bmp", 1},   {"gif", 2},  {"png", 4},
        {"ico", 5},  {"tif", 6},  {"tiff", 6}, {"TGA", 7},  {"pcx", 8},   {"wmf", 10},  {"emf", 10}, {"cr2", 19},
        {"NEF", 19}, {"dng", 19}, {"orf", 19}, {"c", 512},  {"h", 512},   {"cpp", 512}, {"cc", 0},   {"txt", 512},
        {"xml", 512}, {"zip", 513}, {"RAR", 514}, {"docx", 0}, {"", 0},   {"g", 0},     {"pdf", 0}};
    for (auto& [ext, code] : cases) QTest::newRow(ext[0] ? ext : "(none)") << QString::fromLatin1(ext) << code;
  }
  void classify() {
    QFETCH(QString, extension);
    QFETCH(int, code);
    QCOMPARE(ClassifyPreview(extension.toStdU16String()), code);
  }

  void fitPicture() {
    QCOMPARE(FitPicture(100, 50, 400, 300), QRect(150, 125, 100, 50));
    QCOMPARE(FitPicture(800, 400, 400, 400), QRect(0, 100, 400, 200));
    QCOMPARE(FitPicture(400, 800, 400, 400), QRect(100, 0, 200, 400));
    QCOMPARE(FitPicture(600, 800, 400, 400), QRect(50, 0, 299, 400));
    // As wide as the area but lower: scaled by 1, so drawn at its size.
    QCOMPARE(FitPicture(400, 100, 400, 300), QRect(0, 100, 400, 100));
    QVERIFY(FitPicture(0, 10, 400, 300).isEmpty());
    QVERIFY(FitPicture(10, 10, 0, 300).isEmpty());
  }

  void pictureLayerDecodesEveryFormat_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("quadrants");  // top left, top right, bottom left, bottom right
    QTest::newRow("bmp") << "picture.bmp" << int(PICTURE_BMP) << "RGBW";
    QTest::newRow("gif") << "picture.gif" << int(PICTURE_GIF) << "RGBW";
    QTest::newRow("jpeg") << "picture.jpg" << int(PICTURE_JPEG) << "RGBW";
    QTest::newRow("png") << "picture.png" << int(PICTURE_PNG) << "RGBW";
    QTest::newRow("ico") << "picture.ico" << int(PICTURE_ICO) << "RGBW";
    QTest::newRow("tiff") << "picture.tif" << int(PICTURE_TIFF) << "RGBW";
    QTest::newRow("tga") << "picture.tga" << int(PICTURE_TGA) << "RGBW";
    QTest::newRow("tga run-length, colour-mapped") << "picture_rle.tga" << int(PICTURE_TGA) << "RGBW";
    QTest::newRow("wbmp") << "picture.wbmp" << int(PICTURE_WBMP) << "KWKW";
    QTest::newRow("pcx 1 bit") << "mono.pcx" << int(PICTURE_PCX) << "WKWK";
    QTest::newRow("pcx 16 colours in 4 planes") << "ega16.pcx" << int(PICTURE_PCX) << "RGBW";
    QTest::newRow("pcx 4 bits") << "nibble16.pcx" << int(PICTURE_PCX) << "RGBW";
    QTest::newRow("pcx 8-bit palette") << "palette8.pcx" << int(PICTURE_PCX) << "RGBW";
    QTest::newRow("pcx 24 bits in 3 planes") << "truecolor.pcx" << int(PICTURE_PCX) << "RGBW";
    QTest::newRow("camera raw (dng)") << "camera.dng" << int(PICTURE_RAW) << "";
  }
  void pictureLayerDecodesEveryFormat() {
    QFETCH(QString, file);
    QFETCH(int, format);
    QFETCH(QString, quadrants);
    const QByteArray bytes = ReadAll(kPreviewFixtures + file);
    CPicture picture;
    QVERIFY2(picture.Decode(Bytes(bytes), size_t(bytes.size()), format), qPrintable(picture.Error()));
    QVERIFY(picture.IsValid());
    if (format == PICTURE_RAW) {
      // Developed at half size (or from an embedded preview); the red quadrant stays reddest.
      QVERIFY(picture.Width() == 48 || picture.Width() == 24);
      QCOMPARE(picture.Height() * 3, picture.Width() * 2);
      const QImage& im = picture.Image();
      QRgb tl = im.pixel(im.width() / 8, im.height() / 8);
      QVERIFY2(qRed(tl) > qGreen(tl) && qRed(tl) > qBlue(tl), qPrintable(QString::number(tl, 16)));
      return;
    }
    QCOMPARE(picture.Width(), 48);
    QCOMPARE(picture.Height(), 32);
    const QImage& im = picture.Image();
    QString seen;
    for (QPoint p : {QPoint(6, 4), QPoint(42, 4), QPoint(6, 28), QPoint(42, 28)}) seen += QLatin1Char(ColourClass(im.pixel(p)));
    QCOMPARE(seen, quadrants);
  }

  void hostilePicturesFailQuietly() {
    const QByteArray png = ReadAll(kPreviewFixtures + QStringLiteral("picture.png"));
    const QByteArray pcx = ReadAll(kPreviewFixtures + QStringLiteral("palette8.pcx"));
    const QByteArray tga = ReadAll(kPreviewFixtures + QStringLiteral("picture_rle.tga"));
    const QByteArray dng = ReadAll(kPreviewFixtures + QStringLiteral("camera.dng"));
    QByteArray hugePcx = pcx;
    hugePcx[8] = hugePcx[9] = hugePcx[10] = hugePcx[11] = char(0xFF);  // 65536 x 65536
    QByteArray noLinePcx = pcx;
    noLinePcx[66] = noLinePcx[67] = 0;  // zero bytes per line
    QByteArray hugeTga = tga;
    hugeTga[12] = hugeTga[13] = hugeTga[14] = hugeTga[15] = char(0xFF);
    QByteArray shortMapTga = tga.left(25);  // the colour map is cut off
    struct Case {
      const char* name;
      QByteArray bytes;
      int format;
    } cases[] = {
        {"truncated png", png.left(60), PICTURE_PNG},
        {"png header only", png.left(8), PICTURE_PNG},
        {"pcx 65536 x 65536", hugePcx, PICTURE_PCX},
        {"pcx with no line length", noLinePcx, PICTURE_PCX},
        {"pcx header only", pcx.left(128), PICTURE_PCX},
        {"tga 65535 x 65535", hugeTga, PICTURE_TGA},
        {"tga map cut off", shortMapTga, PICTURE_TGA},
        {"dng cut after its header", dng.left(200), PICTURE_RAW},
        {"text as raw", QByteArray("not a camera file at all"), PICTURE_RAW},
        {"text as jpeg", QByteArray(500, 'j'), PICTURE_JPEG},
        {"empty", QByteArray(), PICTURE_BMP},
        {"wmf", QByteArray(100, '\1'), PICTURE_WMF},
    };
    for (const Case& c : cases) {
      CPicture picture;
      QVERIFY2(!picture.Decode(Bytes(c.bytes), size_t(c.bytes.size()), c.format), c.name);
      QVERIFY2(!picture.IsValid() && !picture.Error().isEmpty(), c.name);
    }
    // Every cut of the pictures decoded here decodes or fails, never reads past the end.
    for (const QByteArray& whole : {pcx, tga, ReadAll(kPreviewFixtures + QStringLiteral("ega16.pcx"))}) {
      const int format = whole.startsWith('\x0A') ? PICTURE_PCX : PICTURE_TGA;
      for (qsizetype n = 0; n <= whole.size(); ++n) {
        const QByteArray cut(whole.constData(), n);  // a copy of exactly n bytes
        CPicture picture;
        picture.Decode(Bytes(cut), size_t(cut.size()), format);
      }
    }
  }

  void archiveListings() {
    std::vector<CArchiveEntry> entries;
    // A folder first: only the files are listed (in the central directory's order).
    const QByteArray folderFirst = ReadAll(kPreviewFixtures + QStringLiteral("folder_first.zip"));
    QVERIFY(ListZipEntries(Bytes(folderFirst), size_t(folderFirst.size()), entries));
    QCOMPARE(ListedNames(entries), QStringList({"photos/beach.txt", "notes.txt"}));
    QCOMPARE(entries[0].nSize, uint64_t(500));
    QCOMPARE(Q(FormatTimeText(entries[1].tModified, false)), QStringLiteral("2021/06/01 08:30:00"));
    // Sizes after the data: the central directory still lists every entry.
    const QByteArray descriptors = ReadAll(kPreviewFixtures + QStringLiteral("descriptors.zip"));
    QVERIFY(ListZipEntries(Bytes(descriptors), size_t(descriptors.size()), entries));
    QCOMPARE(ListedNames(entries), QStringList({"first.txt", "second.txt", "third.bin"}));
    QCOMPARE(entries[2].nSize, uint64_t(256));
    const QByteArray zip64 = ReadAll(kPreviewFixtures + QStringLiteral("zip64.zip"));
    QVERIFY(ListZipEntries(Bytes(zip64), size_t(zip64.size()), entries));
    QCOMPARE(ListedNames(entries), QStringList({"big one.dat"}));
    QCOMPARE(entries[0].nSize, uint64_t(1000));

    // A cut-off archive (no central directory) is listed from its local headers, as far as
    // they go; with data descriptors that is the first entry.
    QVERIFY(ListZipEntries(Bytes(folderFirst), size_t(folderFirst.size() - 60), entries));
    QCOMPARE(ListedNames(entries), QStringList({"photos/beach.txt", "notes.txt"}));
    QVERIFY(ListZipEntries(Bytes(descriptors), 300, entries));
    QCOMPARE(ListedNames(entries), QStringList({"first.txt"}));

    // A central directory that points outside the file, or is larger than the file: the
    // local headers are walked instead.
    const qsizetype eocd = folderFirst.lastIndexOf(QByteArray("PK\x05\x06", 4));
    QVERIFY(eocd > 0);
    for (int field : {16, 12}) {
      QByteArray bad = folderFirst;
      bad[eocd + field] = bad[eocd + field + 1] = char(0xF0);
      bad[eocd + field + 2] = bad[eocd + field + 3] = char(0xFF);
      QVERIFY(ListZipEntries(Bytes(bad), size_t(bad.size()), entries));
      QCOMPARE(ListedNames(entries), QStringList({"photos/beach.txt", "notes.txt"}));
    }
    QVERIFY(!ListZipEntries(reinterpret_cast<const uint8_t*>("not a zip"), 9, entries));

    // RAR 4 and 5: folders left out, sizes, times.
    const std::string rar4 = Rar4({{"Docs", 0, "", true},
                                   {"Docs\\a.txt", 1234, std::string(17, 'x'), false},
                                   {"b.bin", 99, std::string(5, 'y'), false}});
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(rar4.data()), rar4.size(), entries));
    QCOMPARE(ListedNames(entries), QStringList({"Docs\\a.txt", "b.bin"}));
    QCOMPARE(entries[0].nSize, uint64_t(1234));
    QCOMPARE(Q(FormatTimeText(entries[0].tModified, false)), QStringLiteral("2022/03/04 13:05:20"));
    const std::string rar5 = Rar5({{"Docs", 0, "", true}, {"Docs/a.txt", 1234, std::string(17, 'x'), false}});
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(rar5.data()), rar5.size(), entries));
    QCOMPARE(ListedNames(entries), QStringList({"Docs/a.txt"}));
    QCOMPARE(entries[0].tModified, int64_t(1700000000));

    // Hostile RAR headers: a header size larger than the file, packed data past the end, a
    // header size too small to step on, a RAR 5 header size of 2^63. The listing ends there.
    std::string huge = rar4;
    huge[20 + 5] = huge[20 + 6] = char(0xFF);  // first file header's size: 65535
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(huge.data()), huge.size(), entries));
    QVERIFY(entries.empty());
    std::string zeroSize = rar4;
    zeroSize[20 + 5] = zeroSize[20 + 6] = 0;
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(zeroSize.data()), zeroSize.size(), entries));
    QVERIFY(entries.empty());
    std::string bigPacked = Rar4({{"a.txt", 1, std::string(3, 'z'), false}, {"b.txt", 1, "", false}});
    bigPacked[20 + 7] = bigPacked[20 + 8] = bigPacked[20 + 9] = bigPacked[20 + 10] = char(0xFF);
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(bigPacked.data()), bigPacked.size(), entries));
    QCOMPARE(ListedNames(entries), QStringList({"a.txt"}));
    std::string rar5huge = std::string("Rar!\x1A\x07\x01\x00", 8) + Le(0, 4) + Vint(uint64_t(1) << 63) + "xxxxxxxx";
    QVERIFY(ListRarEntries(reinterpret_cast<const uint8_t*>(rar5huge.data()), rar5huge.size(), entries));
    QVERIFY(entries.empty());
    QVERIFY(!ListRarEntries(reinterpret_cast<const uint8_t*>("Rar!"), 4, entries));

    // Every cut of every archive lists or stops, never reads past the end.
    for (const std::string& whole :
         {folderFirst.toStdString(), descriptors.toStdString(), zip64.toStdString(), rar4, rar5}) {
      for (size_t n = 0; n <= whole.size(); ++n) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + ptrdiff_t(n));
        ListZipEntries(cut.data(), cut.size(), entries);
        ListRarEntries(cut.data(), cut.size(), entries);
      }
    }
  }

  // Files of the test image through LoadPreview, as the list asks for them.
  void paneShowsFilesOfAVolume() {
    CPreviewPane pane;
    pane.resize(360, 260);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    QVERIFY(GuiApp().m_loadPreview);

    GuiApp().m_loadPreview(File("picture.jpg"));
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Canvas);
    QVERIFY(pane.Picture().IsValid());
    QCOMPARE(pane.Picture().Width(), 48);
    QCOMPARE(pane.Canvas()->PictureRect(), QRect((360 - 48) / 2, (260 - 32) / 2, 48, 32));

    pane.LoadPreview(File("picture.png"));
    QVERIFY(pane.Picture().IsValid());
    QCOMPARE(pane.Picture().Image().pixelColor(42, 28), QColor(Qt::white));
    // A picture larger than the pane is scaled down to its width and centred.
    pane.LoadPreview(File("landscape.jpg"));
    QCOMPARE(pane.Picture().Width(), 640);
    QCOMPARE(pane.Canvas()->PictureRect(), QRect(0, 17, 360, 225));
    SaveScreenshot(&pane, QStringLiteral("preview-picture"));

    pane.LoadPreview(File("picture.pcx"));
    QVERIFY(pane.Picture().IsValid());

    pane.LoadPreview(File("notes.txt"));
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Text);
    QVERIFY(pane.TextView()->isVisible() && !pane.Canvas()->isVisible() && !pane.ArchiveList()->isVisible());
    QCOMPARE(pane.TextView()->toPlainText(), QStringLiteral("First line of the notes.\nSecond line: 42 apples.\n"));
    SaveScreenshot(&pane, QStringLiteral("preview-text"));
    // Typing changes nothing.
    QTest::keyClicks(pane.TextView(), QStringLiteral("typed"));
    QCOMPARE(pane.TextView()->toPlainText(), QStringLiteral("First line of the notes.\nSecond line: 42 apples.\n"));

    pane.LoadPreview(File("zero.txt"));
    QCOMPARE(pane.TextView()->toPlainText(), QStringLiteral("A"));

    pane.LoadPreview(File("folder_first.zip"));
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Archive);
    CFSListModel* model = pane.ArchiveList()->Model();
    QCOMPARE(Column(model, 0), QStringList({"photos/beach.txt", "notes.txt"}));
    QCOMPARE(model->columnCount(), 4);  // Name, Size, Type, Modified
    QCOMPARE(Column(model, 2), QStringList({"txt", "txt"}));
    pane.LoadPreview(File("descriptors.zip"));
    QCOMPARE(model->rowCount(), 3);
    pane.LoadPreview(File("archive.rar"));
    QCOMPARE(Column(model, 0), QStringList({"Docs\\report.txt"}));
    QCOMPARE(Column(model, 1), QStringList({"4 KB"}));
    SaveScreenshot(&pane, QStringLiteral("preview-archive"));

    // What cannot be shown gives a message on the canvas, never the previous item's view.
    struct Fallback {
      const char* file;
      const char* words;
    } fallbacks[] = {
        {"broken.png", "cannot be shown"},
        {"drawing.emf", "WMF and EMF"},
        {"over.txt", "larger than the preview limit"},
        {"sheet.docx", "No preview for this type"},
    };
    for (const Fallback& f : fallbacks) {
      pane.LoadPreview(File("notes.txt"));
      pane.LoadPreview(File(f.file));
      QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Canvas);
      QVERIFY2(pane.Message().contains(QString::fromLatin1(f.words)), qPrintable(f.file + (": " + pane.Message())));
      QVERIFY(!pane.Picture().IsValid());
    }
    // The limit: exactly PreviewLargeFile MiB is shown, one byte more is not.
    pane.LoadPreview(File("limit.txt"));
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Text);
    QCOMPARE(pane.TextView()->toPlainText().size(), 1048576);
    QVERIFY(IsPreviewSizeAllowed(1048576) && !IsPreviewSizeAllowed(1048577));

    // The deleted "Holiday photo.jpg" of the fixture volume is JPEG-shaped (markers and
    // random bytes, no frame header): nothing decodes, so the fallback shows.
    CDirEntry* holiday = ChildNamed(m_fixtureDoc->Volumes().front()->m_pRoot, u"Holiday photo.jpg");
    QVERIFY(holiday && holiday->m_bDeleted);
    pane.LoadPreview(holiday);
    QVERIFY(pane.Message().contains(QStringLiteral("cannot be shown")));
    CDirEntry* readme = ChildNamed(m_fixtureDoc->Volumes().front()->m_pRoot, u"README.TXT");
    pane.LoadPreview(readme);
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Text);
    QVERIFY(pane.TextView()->toPlainText().contains(QStringLiteral("QFAT16")));
  }

  void paneReadsOnceAndReportsReadFailures() {
    CPreviewPane pane;
    CPatternFile text(5000, u"pattern.txt");
    pane.LoadPreview(&text);
    pane.LoadPreview(&text);
    QCOMPARE(text.m_nCalls, 1);  // the same item twice reloads nothing
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Text);
    CPatternFile failing(5000, u"failing.png", 3000);
    pane.LoadPreview(&failing);
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Canvas);
    QVERIFY(pane.Message().contains(QStringLiteral("could not be read")));
    // A node larger than the limit is never read.
    CPatternFile large(2 * 1048576, u"large.jpg");
    pane.LoadPreview(&large);
    QCOMPARE(large.m_nCalls, 0);
  }

  void thumbnails() {
    const QString dir = m_tmp.filePath(QStringLiteral("data/thumbnailers"));
    const QString pidFile = m_tmp.filePath(QStringLiteral("sleeper.pid"));
    const QString sizeFile = m_tmp.filePath(QStringLiteral("size.txt"));
    const QString expected = m_tmp.filePath(QStringLiteral("src/letter.pdf"));
    auto write = [](const QString& path, const QString& text) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(text.toUtf8());
    };
    // A thumbnailer for PDF that checks it was given the file's content and answers the
    // fixture PNG; one for MP3 that never ends.
    write(m_tmp.filePath(QStringLiteral("thumb.sh")),
          QStringLiteral("cmp -s \"$1\" '%1' || exit 3\necho \"$3\" > '%2'\ncp '%3' \"$2\"\n")
              .arg(expected, sizeFile, kPreviewFixtures + QStringLiteral("picture.png")));
    write(m_tmp.filePath(QStringLiteral("sleep.sh")), QStringLiteral("echo $$ > '%1'\nexec sleep 60\n").arg(pidFile));
    write(dir + QStringLiteral("/test-pdf.thumbnailer"),
          QStringLiteral("[Thumbnailer Entry]\nTryExec=/bin/sh\nExec=/bin/sh \"%1\" %i %o %s\nMimeType=application/pdf;\n")
              .arg(m_tmp.filePath(QStringLiteral("thumb.sh"))));
    write(dir + QStringLiteral("/test-mp3.thumbnailer"),
          QStringLiteral("[Thumbnailer Entry]\nExec=/bin/sh %1 %u %o\nMimeType=audio/mpeg;\n")
              .arg(m_tmp.filePath(QStringLiteral("sleep.sh"))));

    CPreviewPane pane;
    pane.resize(300, 200);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    pane.LoadPreview(File("letter.pdf"));
    QCOMPARE(pane.CurrentView(), CPreviewPane::EView::Canvas);
    QVERIFY2(pane.Picture().IsValid(), qPrintable(pane.Message()));
    QCOMPARE(pane.Picture().Width(), 48);
    QCOMPARE(ReadAll(sizeFile).trimmed(), QByteArray("300"));

    QImage image;
    QVERIFY(!GetShellThumbnail(File("tone.mp3"), &image, 100, 100, 500));
    const qint64 pid = ReadAll(pidFile).trimmed().toLongLong();
    QVERIFY(pid > 0);
    QVERIFY(::kill(pid_t(pid), 0) != 0);  // the thumbnailer was ended and reaped
    // A type of the table with no thumbnailer, and a type outside the table.
    QVERIFY(!GetShellThumbnail(File("clip.avi"), &image, 100, 100));
    QVERIFY(!GetShellThumbnail(File("sheet.docx"), &image, 100, 100));
    QCOMPARE(ThumbnailTypeIndex(u"pdf"), 14);
    // Nothing is left in the temporary folder but the reserved names.
    const QStringList left = QDir(m_tmp.filePath(QStringLiteral("tmp"))).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& name : left) QVERIFY2(name.startsWith(QStringLiteral("~DF")), qPrintable(name));
  }

  void hexViewOfADeletedFile() {
    auto* holiday = dynamic_cast<CFSFile*>(ChildNamed(m_fixtureDoc->Volumes().front()->m_pRoot, u"Holiday photo.jpg"));
    QVERIFY(holiday && holiday->m_bDeleted);
    QString first, last, message;
    int bytesPerRow = 0;
    WhenModalShown([](QWidget* w) { return qobject_cast<CViewHexDlg*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* dlg = static_cast<CViewHexDlg*>(w);
                     CHexDumpCtrl* dump = dlg->Dump();
                     bytesPerRow = dump->BytesPerRow();
                     first = dump->RowText(0);
                     dump->ScrollToEnd();
                     last = dump->RowText(dump->RowCount() - 1);
                     message = dlg->MessageText();
                     QApplication::processEvents();
                     SaveScreenshot(dlg, QStringLiteral("hex-view"));
                     dlg->findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
                   });
    QVERIFY(ShowHexView(nullptr, holiday));
    QVERIFY2(first.startsWith(QStringLiteral("00000000 | FF D8 FF E0 00 10 4A 46")), qPrintable(first));
    QVERIFY(first.contains(QStringLiteral("| ......JFIF")));
    QVERIFY(bytesPerRow >= 8 && bytesPerRow % 8 == 0);
    const uint64_t lastOffset = (70000 - 1) / uint64_t(bytesPerRow) * uint64_t(bytesPerRow);
    QVERIFY2(last.startsWith(QStringLiteral("%1 |").arg(qulonglong(lastOffset), 8, 16, QLatin1Char('0')).toUpper()),
             qPrintable(last));
    QVERIFY2(last.contains(QStringLiteral("FF D9 |")), qPrintable(last));
    QVERIFY(message.isEmpty());
    // Nothing for an empty file.
    CPatternFile empty(0, u"empty.bin");
    QVERIFY(!ShowHexView(nullptr, &empty));
  }

  void hexViewOfAHugeFileHoldsAWindow() {
    // 40 GiB and a bit: more rows than an int scroll bar holds.
    const uint64_t size = (uint64_t(40) << 30) + 1234;
    CPatternFile file(size, u"huge.bin");
    CViewHexDlg dlg(&file);
    dlg.resize(760, 440);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    CHexDumpCtrl* dump = dlg.Dump();
    const uint64_t perRow = uint64_t(dump->BytesPerRow());
    QVERIFY(dump->RowCount() > uint64_t(INT_MAX));
    const int digits = int(QString::number(qulonglong(size - 1), 16).size());
    QCOMPARE(digits, 9);
    QCOMPARE(dump->RowText(0).left(20), QStringLiteral("000000000 | 00 00 00"));

    // The scroll bar's end is the file's end; its middle is the middle.
    QScrollBar* bar = dump->verticalScrollBar();
    bar->setValue(bar->maximum());
    QCOMPARE(dump->TopRow(), dump->RowCount() - uint64_t(dump->VisibleRows()));
    const uint64_t lastRow = dump->RowCount() - 1;
    const QString last = dump->RowText(lastRow);
    const uint64_t lastOffset = lastRow * perRow;
    QString expected = QStringLiteral("%1 | ").arg(qulonglong(lastOffset), digits, 16, QLatin1Char('0')).toUpper();
    for (uint64_t o = lastOffset; o < size; ++o)
      expected += QStringLiteral("%1").arg(uint(CPatternFile::ByteAt(o)), 2, 16, QLatin1Char('0')).toUpper() +
                  (o + 1 == size ? QStringLiteral(" |") : (o - lastOffset) % 8 == 7 ? QStringLiteral("  ") : QStringLiteral(" "));
    QVERIFY2(last.startsWith(expected), qPrintable(last + QStringLiteral("\n") + expected));
    QApplication::processEvents();
    bar->setValue(bar->maximum() / 2);
    const double middle = double(dump->TopRow()) / double(dump->RowCount());
    QVERIFY2(middle > 0.49 && middle < 0.51, qPrintable(QString::number(middle)));
    dump->RowText(dump->TopRow());
    // Only a window was ever held.
    CFilePageReader* reader = dlg.Reader();
    QVERIFY2(reader->PeakBytesHeld() <= CFilePageReader::kDefaultMaxPages * CFilePageReader::kDefaultPageSize * 3 / 2,
             qPrintable(QString::number(reader->PeakBytesHeld())));
    QVERIFY(reader->BytesHeld() <= CFilePageReader::kDefaultMaxPages * CFilePageReader::kDefaultPageSize);
    QVERIFY(dlg.MessageText().isEmpty());

    // A read stops as soon as its window is filled, and rows nearby come from the pages kept.
    CPatternFile second(size, u"huge.bin");
    CFilePageReader pages(&second, size);
    uint8_t bytes[16];
    bool readable[16];
    const uint64_t at = uint64_t(20) << 30;
    pages.Read(at, 16, bytes, readable);
    for (int i = 0; i < 16; ++i) QVERIFY(readable[i] && bytes[i] == CPatternFile::ByteAt(at + uint64_t(i)));
    QVERIFY(second.m_nDelivered < at + 16 * CFilePageReader::kDefaultPageSize + CPatternFile::kChunk);
    QCOMPARE(pages.Passes(), 1);
    pages.Read(at + 100000, 16, bytes, readable);
    pages.Read(at - 100000, 16, bytes, readable);
    QCOMPARE(pages.Passes(), 1);
  }

  void hexViewShowsUnreadableBytes() {
    // The read fails at 5000: the row holding it shows "??" from there, with a message.
    CPatternFile file(20000, u"bad.bin", 5000);
    CViewHexDlg dlg(&file);
    dlg.resize(760, 440);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    CHexDumpCtrl* dump = dlg.Dump();
    const uint64_t perRow = uint64_t(dump->BytesPerRow());
    const uint64_t row = 5000 / perRow;
    const QString text = dump->RowText(row);
    const int before = int(5000 - row * perRow);
    QStringList hex = text.section(QStringLiteral(" | "), 1, 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QCOMPARE(hex.size(), int(perRow));
    for (int i = 0; i < int(perRow); ++i) QCOMPARE(hex[i] == QStringLiteral("??"), i >= before);
    QVERIFY(WaitUntil([&] { return !dlg.MessageText().isEmpty(); }, 5000));
    QVERIFY(dlg.MessageText().contains(QStringLiteral("00001388")));
    dump->ScrollToEnd();
    QVERIFY(dump->RowText(dump->RowCount() - 1).contains(QStringLiteral("?? ??")));
  }
};

QTEST_MAIN(PreviewHexTest)
#include "test_preview_hex.moc"
