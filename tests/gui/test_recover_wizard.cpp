// The recovery wizard driven through its real widgets over the FAT and disk fixture images:
// destination history, the checks of Next, a whole run compared with the manifest, a second
// run with the replace questions, the abort question, and the report of items that could
// not be saved completely.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "app/Document.h"
#include "settings/Settings.h"
#include "deepscan/VirtualDriver.h"
#include "platform/Profile.h"
#include "platform/SameDisk.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/GuiApp.h"
#include "tasks/ProgressFigures.h"
#include "ui/RecoverWizard.h"

namespace {
CDirEntry* Child(CDirectory* folder, const std::u16string& name) {
  for (auto& child : folder->m_children)
    if (child && child->m_strName == name) return child.get();
  return nullptr;
}

// Loads a folder and everything below it with existing and deleted items, as the lists show
// them once the user has opened each folder.
void LoadAll(CDirectory* folder) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
  for (auto& child : folder->m_children)
    if (child && child->IsDirectory()) LoadAll(static_cast<CDirectory*>(child.get()));
}

// Every file below root, as paths relative to it.
QStringList FilesBelow(const QString& root) {
  QStringList files;
  QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(root).relativeFilePath(it.next());
  files.sort();
  return files;
}

QByteArray ReadBytes(const QString& path, qint64 offset = 0, qint64 size = -1) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  f.seek(offset);
  return size < 0 ? f.readAll() : f.read(size);
}

QAbstractButton* Button(QWizard& wizard, QWizard::WizardButton which) { return wizard.button(which); }
}  // namespace

// Collects the addresses QDesktopServices is asked to open.
class CUrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls << url; }
};

class TestRecoverWizard : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void historyAndBrowse();
  void recoversSelectionAndAsksBeforeReplacing();
  void emptyDestinationStaysOnFirstPage();
  void sameDiskDestinationAsksFirst();
  void abortAskedNoThenYes();
  void incompleteItemsAreListed();

 private:
  // Shows a new wizard over selection; types destination; presses Next.
  void StartRun(CFileRecoverWizard& wizard, const QString& destination);
  static bool Finished(CFileRecoverWizard& wizard) {
    return wizard.currentId() == 1 && Button(wizard, QWizard::FinishButton)->isEnabled();
  }
  CVirtualFile* AddCarvedFile(const std::u16string& name, uint64_t startSector, uint64_t size);

  std::unique_ptr<CKelvoDoc> m_doc;
  CDirectory* m_pRoot = nullptr;                    // the root of fat16.img
  CLogicalDriver* m_pDiskVolume = nullptr;          // the virtual volume of disk.img
  std::map<QString, std::pair<qint64, std::string>> m_manifest;  // fat16.img: path -> size, SHA-256
  QString m_strDiskImage;
};

void TestRecoverWizard::initTestCase() {
  // A run by hand gets the same private settings as under ctest.
  static QTemporaryDir config;
  if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  const QString fat16 = QString::fromStdString(FixturePath("fat16.img"));
  m_strDiskImage = QString::fromStdString(FixturePath("disk.img"));
  m_doc = MakeImageDocument({fat16, m_strDiskImage});
  for (const auto& v : m_doc->Volumes())
    if (v->m_source.strPath == fat16.toStdString()) m_pRoot = v->m_pRoot;
  for (const auto& v : m_doc->VirtualVolumes())
    if (v->m_source.strPath == m_strDiskImage.toStdString()) m_pDiskVolume = v.get();
  QVERIFY(m_pRoot);
  QVERIFY(m_pDiskVolume && m_pDiskVolume->m_pLostFolder);
  m_pRoot->LoadChildren(true, false, true);

  std::ifstream in(FixturePath("manifest.json"));
  auto manifest = nlohmann::json::parse(in);
  for (const auto& image : manifest["images"])
    if (image["name"] == "fat16.img")
      for (const auto& f : image["volumes"][0]["files"])
        m_manifest[QString::fromStdString(f["path"].get<std::string>())] = {f["size"].get<qint64>(),
                                                                             f["sha256"].get<std::string>()};
  QVERIFY(m_manifest.count("Docs/Inner/DEEP.BIN"));
}

void TestRecoverWizard::init() {
  QFile::remove(QString::fromStdString(SettingsFilePath()));
  GuiApp().m_strSourceDevice.clear();
}

void TestRecoverWizard::StartRun(CFileRecoverWizard& wizard, const QString& destination) {
  wizard.show();
  QVERIFY(QTest::qWaitForWindowExposed(&wizard));
  wizard.Step0()->m_comboHistory->setEditText(destination);
  Button(wizard, QWizard::NextButton)->click();
}

CVirtualFile* TestRecoverWizard::AddCarvedFile(const std::u16string& name, uint64_t startSector, uint64_t size) {
  auto file = std::make_unique<CVirtualFile>();
  file->m_strName = name;
  file->m_nStartUnit = startSector;
  file->m_nSize = size;
  file->m_bDeleted = true;
  file->m_pDriver = m_pDiskVolume;
  return static_cast<CVirtualFile*>(m_pDiskVolume->m_pLostFolder->AddChild(std::move(file)));
}

void TestRecoverWizard::historyAndBrowse() {
  QTemporaryDir tmp;
  {
    // First use: the documents folder.
    CFileRecoverWizard wizard([] { return std::vector<CDirEntry*>{}; });
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QCOMPARE(wizard.Step0()->m_comboHistory->currentText(), documents + "/");
    QCOMPARE(wizard.Step0()->m_comboHistory->count(), 0);
  }
  const std::string file = SettingsFilePath();
  profile::WriteString(file, "Settings", "HistoryCombo", "/last/place");
  profile::WriteString(file, "Settings", "HistoryCombo0", "/first/");
  profile::WriteString(file, "Settings", "HistoryCombo1", "/second/");
  CFileRecoverWizard wizard([] { return std::vector<CDirEntry*>{}; });
  QComboBox* combo = wizard.Step0()->m_comboHistory;
  QCOMPARE(combo->currentText(), QString("/last/place"));
  QCOMPARE(combo->count(), 2);
  QCOMPARE(combo->itemText(1), QString("/second/"));
  wizard.show();
  QVERIFY(QTest::qWaitForWindowExposed(&wizard));
  SaveScreenshot(&wizard, "recover_wizard_page0");

  // Browse: the folder picked comes back with a trailing '/' and heads the history.
  combo->setEditText(tmp.path());
  WhenModalShown([](QWidget* w) { return qobject_cast<QFileDialog*>(w) != nullptr; },
                 [&tmp](QWidget* w) {
                   auto* dialog = static_cast<QFileDialog*>(w);
                   QCOMPARE(dialog->windowTitle(), QString("Select Folder"));
                   dialog->setDirectory(tmp.path());
                   static_cast<QDialog*>(dialog)->accept();  // QFileDialog's own, through the public slot
                 });
  wizard.Step0()->findChild<QPushButton*>("browseButton")->click();
  QCOMPARE(combo->currentText(), tmp.path() + "/");
  QCOMPARE(combo->itemText(0), tmp.path() + "/");

  // Next writes the history, the current text first.
  const QString typed = tmp.path() + "/typed";
  CMessageBoxAnswerer unexpected({"OK"});
  StartRun(wizard, typed);
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(unexpected.Seen(), QStringList{});
  QCOMPARE(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo", "")), typed);
  QCOMPARE(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo0", "")), typed);
  QCOMPARE(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo1", "")), tmp.path() + "/");
  QCOMPARE(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo3", "")), QString("/second/"));
  // The typed destination got its trailing '/' and was created.
  QCOMPARE(wizard.Step1()->findChild<QLineEdit*>("saveLocation")->text(), typed + "/");
  QVERIFY(QFileInfo(typed).isDir());
}

void TestRecoverWizard::recoversSelectionAndAsksBeforeReplacing() {
  auto* docs = static_cast<CDirectory*>(Child(m_pRoot, u"Docs"));
  CDirEntry* photo = Child(m_pRoot, u"Holiday photo.jpg");
  QVERIFY(docs && photo && photo->m_bDeleted);
  LoadAll(docs);
  int selectionCalls = 0;
  CFileRecoverWizard wizard([&] {
    ++selectionCalls;
    return std::vector<CDirEntry*>{photo, docs};
  });
  QTemporaryDir tmp;
  const QString dest = tmp.path() + "/out/nested";  // neither folder exists yet
  auto unexpected = std::make_unique<CMessageBoxAnswerer>(QStringList{"OK"});
  StartRun(wizard, dest);
  QCOMPARE(wizard.currentId(), 1);
  // While saving, only Cancel works (the worker waits for its first report to be handled,
  // so the run cannot be over before the event loop runs).
  QVERIFY(!Button(wizard, QWizard::BackButton)->isEnabled());
  QVERIFY(!Button(wizard, QWizard::FinishButton)->isEnabled());
  QVERIFY(Button(wizard, QWizard::CancelButton)->isEnabled());
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(unexpected->Seen(), QStringList{});
  unexpected.reset();
  SaveScreenshot(&wizard, "recover_wizard_page1");

  CFileRecoverStep1* page = wizard.Step1();
  QCOMPARE(page->findChild<QLabel*>("counterText")->text(), QString("4/4"));
  QCOMPARE(page->findChild<QProgressBar*>("overallBar")->value(), 4);
  QVERIFY(Button(wizard, QWizard::BackButton)->isEnabled());
  QVERIFY(page->Problems().isEmpty());
  QVERIFY(page->findChild<QListWidget*>("problemList")->isHidden());
  const QStringList expected = {"Docs/Empty inside.txt", "Docs/Inner/DEEP.BIN", "Docs/NOTE.TXT", "Holiday photo.jpg"};
  QCOMPARE(FilesBelow(dest), expected + QStringList{"quarrow-report.jsonl"});
  qint64 savedBytes = 0;
  for (const QString& rel : expected) {
    QVERIFY2(m_manifest.count(rel), qPrintable(rel));
    QCOMPARE(QFileInfo(dest + "/" + rel).size(), m_manifest[rel].first);
    QCOMPARE(Sha256OfFile((dest + "/" + rel).toStdString()), m_manifest[rel].second);
    savedBytes += QFileInfo(dest + "/" + rel).size();
  }
  // The report (on by default): a line per file with its digest, then the totals.
  {
    const auto lines = ReadBytes(dest + "/quarrow-report.jsonl").split('\n');
    QCOMPARE(lines.size(), 6);  // four files, the totals, the empty rest after the last line end
    for (int i = 0; i < 4; ++i) {
      const auto j = nlohmann::json::parse(lines[i].toStdString());
      const QString rel = QDir(dest).relativeFilePath(QString::fromStdString(j["written_to"].get<std::string>()));
      QVERIFY2(m_manifest.count(rel), qPrintable(rel));
      QCOMPARE(QString::fromStdString(j["sha256"].get<std::string>()), QString::fromStdString(m_manifest[rel].second));
      QCOMPARE(QString::fromStdString(j["result"].get<std::string>()), QString("whole"));
    }
    const auto totals = nlohmann::json::parse(lines[4].toStdString());
    QCOMPARE(totals["files_whole"].get<int>(), 4);
    QVERIFY(totals["complete"].get<bool>());
  }
  // The run ends with its summary in plain sight, and Open Folder opens the destination
  // through the desktop (here a handler for file: addresses stands in for the file manager).
  auto* summary = page->findChild<QLabel*>("summaryText");
  QVERIFY(summary->isVisible());
  QCOMPARE(summary->text(), QString("4 files, %1 saved to %2/.")
                                .arg(QString::fromStdString(FormatByteCount(uint64_t(savedBytes))), dest));
  QVERIFY2(page->findChild<QLabel*>("rateText")->text().contains(" elapsed, 00:00:00 left"),
           qPrintable(page->findChild<QLabel*>("rateText")->text()));
  CUrlCatcher opened;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "Open");
  auto* openFolder = page->findChild<QPushButton*>("openFolderButton");
  QVERIFY(openFolder->isVisible());
  openFolder->click();
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  QCOMPARE(opened.urls, QList<QUrl>{QUrl::fromLocalFile(dest + "/")});
  // It is not cut: the wizard holds the whole of its wrapped text.
  QApplication::processEvents();
  QVERIFY2(summary->heightForWidth(summary->width()) <= summary->height() + 1,
           qPrintable(QString("%1 < %2").arg(summary->height()).arg(summary->heightForWidth(summary->width()))));
  SaveScreenshot(&wizard, "recovery_summary");

  // Back, then Next: a new run over the selection as it is now. The file is asked about and
  // kept; Yes to all on the folder replaces everything below it without another question.
  QFile::resize(dest + "/Docs/NOTE.TXT", 3);
  QFile::resize(dest + "/Holiday photo.jpg", 5);
  Button(wizard, QWizard::BackButton)->click();
  QCOMPARE(wizard.currentId(), 0);
  QCOMPARE(wizard.Step0()->m_comboHistory->currentText(), dest);
  CMessageBoxAnswerer answers({"No", "Yes to All"});
  Button(wizard, QWizard::NextButton)->click();
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(selectionCalls, 2);
  QCOMPARE(answers.Remaining(), 0);
  QCOMPARE(answers.Seen().size(), 2);
  QVERIFY(answers.Seen()[0].contains("already contains a file called 'Holiday photo.jpg'"));
  QVERIFY(answers.Seen()[1].contains("already contains a folder called 'Docs'"));
  // The skipped file is not counted as saved.
  QCOMPARE(page->findChild<QLabel*>("counterText")->text(), QString("3/4"));
  QCOMPARE(QFileInfo(dest + "/Holiday photo.jpg").size(), qint64(5));
  QCOMPARE(Sha256OfFile((dest + "/Docs/NOTE.TXT").toStdString()), m_manifest["Docs/NOTE.TXT"].second);
  // No is the default answer: a stray Enter keeps what is there.
  QCOMPARE(answers.Defaults(), QStringList({"No", "No"}));

  // Keep Both writes the recovered file beside the kept one; No to All keeps the folder as it
  // is, with no further question.
  QFile::resize(dest + "/Docs/NOTE.TXT", 3);
  Button(wizard, QWizard::BackButton)->click();
  CMessageBoxAnswerer again({"Keep Both", "No to All"});
  Button(wizard, QWizard::NextButton)->click();
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(again.Remaining(), 0);
  QCOMPARE(QFileInfo(dest + "/Holiday photo.jpg").size(), qint64(5));
  QCOMPARE(Sha256OfFile((dest + "/Holiday photo.jpg (2)").toStdString()), m_manifest["Holiday photo.jpg"].second);
  QCOMPARE(QFileInfo(dest + "/Docs/NOTE.TXT").size(), qint64(3));

  // Cancel after the run closes without a question.
  Button(wizard, QWizard::CancelButton)->click();
  QVERIFY(!wizard.isVisible());
  QCOMPARE(wizard.result(), int(QDialog::Rejected));
}

void TestRecoverWizard::emptyDestinationStaysOnFirstPage() {
  CFileRecoverWizard wizard([] { return std::vector<CDirEntry*>{}; });
  CMessageBoxAnswerer answers({"OK"});
  StartRun(wizard, QString());
  QCOMPARE(answers.Seen(), QStringList{"Please select a location to save the files."});
  QCOMPARE(wizard.currentId(), 0);
}

void TestRecoverWizard::sameDiskDestinationAsksFirst() {
  QTemporaryDir tmp;
  QFile image(tmp.path() + "/volume.img");
  QVERIFY(image.open(QIODevice::WriteOnly));
  image.close();
  // A block device holding a folder we may write to: the temporary folder's, or the build
  // folder's.
  QString folder, device;
  for (const QString& candidate : {tmp.path(), QString(QUARROW_ARTIFACT_DIR "/..")}) {
    std::string disk = WholeDiskOfPath(candidate.toStdString());
    struct stat st {};
    if (!disk.empty() && ::stat(("/dev/" + disk).c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      folder = candidate;
      device = QString::fromStdString("/dev/" + disk);
      break;
    }
  }
  // Without such a folder (a container's overlay file system) the real question cannot come
  // up: the cases that need a block device are left out of the table, and the wizard's two
  // answers are driven through a decision that warns for the chosen destination.
  const bool haveDevice = !device.isEmpty();
  if (!haveDevice) {
    folder = tmp.path();
    device = QStringLiteral("/dev/null");
  }
  QTemporaryDir target(folder + "/recover-same-disk-XXXXXX");
  QVERIFY(target.isValid());
  const QString notYet = target.path() + "/not/yet/made";

  // The decision: the nearest existing parent of a folder not made yet is tested; no
  // volume selected, an image file or a character device never warn.
  struct Case {
    QString destination;
    std::string source;
    bool warns;
    bool needsDevice;
  } cases[] = {
      {notYet, device.toStdString(), true, true},
      {target.path() + "/", device.toStdString(), true, true},
      {notYet, "", false, false},
      {notYet, (tmp.path() + "/volume.img").toStdString(), false, false},
      {notYet, "/dev/null", false, false},
      {"", device.toStdString(), false, false},
  };
  for (const Case& c : cases)
    if (haveDevice || !c.needsDevice)
      QVERIFY2(DestinationOnSourceDisk(c.destination, c.source) == c.warns,
               qPrintable(c.destination + " " + QString::fromStdString(c.source)));
  struct RestoreDecision {
    ~RestoreDecision() { SameDiskDecision() = DestinationOnSourceDisk; }
  } restore;
  if (!haveDevice)
    SameDiskDecision() = [notYet](const QString& d, const std::string& s) { return !s.empty() && d.startsWith(notYet); };

  // The wizard: No stays on the first page, Yes goes on.
  GuiApp().m_strSourceDevice = device.toStdString();
  CFileRecoverWizard wizard([] { return std::vector<CDirEntry*>{}; });
  {
    CMessageBoxAnswerer answers({"No"});
    StartRun(wizard, notYet);
    QCOMPARE(answers.Seen(), QStringList{"You are about to restore data to the same drive it was erased from, "
                                         "which is not recommended. Continue?"});
    QCOMPARE(wizard.currentId(), 0);
    QVERIFY(!QFileInfo::exists(notYet));
  }
  CMessageBoxAnswerer answers({"Yes", "OK"});  // "OK" only answers a box that should not come
  Button(wizard, QWizard::NextButton)->click();
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(answers.Seen().size(), 1);
  QVERIFY(QFileInfo(notYet).isDir());
  QCOMPARE(wizard.Step1()->findChild<QLabel*>("counterText")->text(), QString("0/0"));
}

void TestRecoverWizard::abortAskedNoThenYes() {
  // A carved file as long as the whole disk image: written sector by sector, with a
  // progress report for each, it is still being saved while the questions are answered.
  const qint64 imageSize = QFileInfo(m_strDiskImage).size();
  CVirtualFile* big = AddCarvedFile(u"FILE_1.bin", 0, uint64_t(imageSize));
  CDirEntry* readme = Child(m_pRoot, u"README.TXT");
  QVERIFY(readme);
  CFileRecoverWizard wizard([&] { return std::vector<CDirEntry*>{big, readme}; });
  QTemporaryDir tmp;
  StartRun(wizard, tmp.path());
  auto* fileBar = wizard.Step1()->findChild<QProgressBar*>("fileBar");
  QVERIFY(WaitUntil([&] { return fileBar->value() > 0; }));
  {
    CMessageBoxAnswerer answers({"No"});
    Button(wizard, QWizard::CancelButton)->click();
    QCOMPARE(answers.Seen(), QStringList{"Abort the current operation?"});
  }
  QVERIFY(wizard.isVisible());
  QVERIFY(wizard.Step1()->IsRunning());
  QVERIFY(!Button(wizard, QWizard::FinishButton)->isEnabled());
  QVERIFY(!Button(wizard, QWizard::BackButton)->isEnabled());
  const int before = fileBar->value();
  QVERIFY(WaitUntil([&] { return fileBar->value() > before; }));  // the run went on
  {
    CMessageBoxAnswerer answers({"Yes"});
    Button(wizard, QWizard::CancelButton)->click();
    QCOMPARE(answers.Seen(), QStringList{"Abort the current operation?"});
  }
  // Stopped: the wizard stays open with Back and Finish.
  QVERIFY(wizard.isVisible());
  QVERIFY(!wizard.Step1()->IsRunning());
  QVERIFY(Finished(wizard));
  QVERIFY(Button(wizard, QWizard::BackButton)->isEnabled());
  QVERIFY(wizard.Step1()->m_bDone);
  // What was written stays, and is the image's first bytes; the item after it was not saved.
  const QString out = tmp.path() + "/FILE_1.bin";
  const qint64 written = QFileInfo(out).size();
  QVERIFY(written > 0 && written < imageSize);
  QVERIFY(ReadBytes(out) == ReadBytes(m_strDiskImage, 0, written));
  QVERIFY(!QFileInfo::exists(tmp.path() + "/README.TXT"));
  QVERIFY(wizard.Step1()->Problems().join("\n").contains("stopped"));
}

void TestRecoverWizard::incompleteItemsAreListed() {
  // A carved file that claims 3 GiB from 8 sectors before the end of the disk: its size
  // does not fit the bar's int range, and its data ends with the image.
  const qint64 imageSize = QFileInfo(m_strDiskImage).size();
  const uint64_t sectors = uint64_t(imageSize) / 512;
  CVirtualFile* torn = AddCarvedFile(u"FILE_2.bin", sectors - 8, 3ull << 30);
  CDirEntry* readme = Child(m_pRoot, u"README.TXT");
  CFileRecoverWizard wizard([&] { return std::vector<CDirEntry*>{torn, readme}; });
  QTemporaryDir tmp;
  {
    CMessageBoxAnswerer unexpected({"OK"});
    StartRun(wizard, tmp.path());
    QVERIFY(WaitUntil([&] { return Finished(wizard); }));
    QCOMPARE(unexpected.Seen(), QStringList{});
  }
  CFileRecoverStep1* page = wizard.Step1();
  // The readable part is kept, the run went on to the next item, and the torn file is not
  // counted as saved but listed with the reason.
  QCOMPARE(ReadBytes(tmp.path() + "/FILE_2.bin"), ReadBytes(m_strDiskImage, imageSize - 4096, 4096));
  QCOMPARE(Sha256OfFile((tmp.path() + "/README.TXT").toStdString()), m_manifest["README.TXT"].second);
  QCOMPARE(page->findChild<QLabel*>("counterText")->text(), QString("1/2"));
  QCOMPARE(page->Problems().size(), 1);
  QVERIFY(page->Problems()[0].contains("FILE_2.bin"));
  QVERIFY(page->Problems()[0].contains("incomplete"));
  QVERIFY(page->findChild<QListWidget*>("problemList")->isVisible());
  QVERIFY2(page->findChild<QLabel*>("summaryText")->text().startsWith("1 file, ") &&
               page->findChild<QLabel*>("summaryText")->text().endsWith("1 item could not be saved whole (listed below)."),
           qPrintable(page->findChild<QLabel*>("summaryText")->text()));
  auto* fileBar = page->findChild<QProgressBar*>("fileBar");
  QVERIFY(fileBar->maximum() > 0);
  QCOMPARE(fileBar->value(), fileBar->maximum());
  SaveScreenshot(&wizard, "recover_wizard_page1_problems");

  // A destination that cannot be made (below a file) ends the run with a message.
  Button(wizard, QWizard::BackButton)->click();
  CMessageBoxAnswerer answers({"OK"});
  wizard.Step0()->m_comboHistory->setEditText(tmp.path() + "/README.TXT/sub");
  Button(wizard, QWizard::NextButton)->click();
  QVERIFY(WaitUntil([&] { return Finished(wizard); }));
  QCOMPARE(answers.Seen().size(), 1);
  QVERIFY(answers.Seen()[0].contains("README.TXT"));
  QCOMPARE(page->Problems().size(), 1);
  QCOMPARE(FilesBelow(tmp.path()), (QStringList{"FILE_2.bin", "README.TXT", "quarrow-report.jsonl"}));
  // The destination that failed is not offered again; the one that worked still is.
  const std::string file = SettingsFilePath();
  const QString failed = tmp.path() + "/README.TXT/sub/";
  for (int i = 0; i < 4; ++i)
    QVERIFY(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo" + std::to_string(i), "")) !=
            failed);
  QCOMPARE(QString::fromStdString(profile::GetString(file, "Settings", "HistoryCombo", "")), tmp.path());
  QCOMPARE(wizard.Step0()->m_comboHistory->findText(failed), -1);
}

QTEST_MAIN(TestRecoverWizard)
#include "test_recover_wizard.moc"
