// The welcome wizard, the update check, the updater start and the user guide window.
//
// The wizard runs on documents over fixture images: its pages and device groups, Next
// without a device, "Show this screen next", Cancel, and a finished run that deep-scans a
// disk into its "LostFiles" and selects that folder in a real navigation tree. The update
// check runs against an HTTP server inside this test on 127.0.0.1, well-behaved and hostile.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <memory>
#include <set>

#include "app/App.h"
#include "support/Hooks.h"
#include "app/Document.h"
#include "settings/Settings.h"
#include "deepscan/FileTypes.h"
#include "deepscan/VirtualDriver.h"
#include "device/PhysicalDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanWizard.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/FSListCtrl.h"
#include "ui/HelpViewer.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/MutiTreeCtrl.h"
#include "ui/TaskRunnerQt.h"
#include "ui/UpdateCheck.h"
#include "ui/UiText.h"
#include "ui/WelcomeWizard.h"

namespace {

QString Fixture(const char* name) { return QString::fromStdString(FixturePath(name)); }

// The device items of the list (headers left out), in list order.
QList<QListWidgetItem*> DeviceItems(CDeviceListCtrl* list) {
  QList<QListWidgetItem*> items;
  for (int row = 0; row < list->count(); ++row)
    if (!CDeviceListCtrl::IsHeader(list->item(row))) items << list->item(row);
  return items;
}

QListWidgetItem* ItemOf(CDeviceListCtrl* list, CLogicalDriver* device) {
  for (QListWidgetItem* item : DeviceItems(list))
    if (CDeviceListCtrl::DeviceOf(item) == device) return item;
  return nullptr;
}


// A folder among the results of an earlier scan (a lost folder), shown in the tree.
class COldLostFolder : public CVirtualDirectory {};

// A small HTTP server answering every request in the way its mode says.
class CHttpStub : public QObject {
 public:
  enum Mode { Version, Body, Deflated, Status404, RedirectLoop, Huge, Drip, Silent };

  CHttpStub() {
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        auto request = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, request] {
          if (request->contains("\r\n\r\n")) return;
          *request += socket->readAll();
          if (request->contains("\r\n\r\n")) {
            m_requests << *request;
            Answer(socket);
          }
        });
      }
    });
  }

  QUrl Url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/quarrow_update.ini").arg(m_server.serverPort())); }

  Mode m_mode = Version;
  QByteArray m_body;  // Version: the whole body; Body: sent as it is
  QList<QByteArray> m_requests;

 private:
  void Answer(QTcpSocket* socket) {
    switch (m_mode) {
      case Version:
      case Body:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
        socket->disconnectFromHost();
        break;
      case Deflated: {
        // A zlib stream of the body (qCompress's output without its length prefix).
        const QByteArray packed = qCompress(m_body).mid(4);
        socket->write("HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(packed.size()) + "\r\n\r\n" + packed);
        socket->disconnectFromHost();
        break;
      }
      case Status404:
        socket->write("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
        socket->disconnectFromHost();
        break;
      case RedirectLoop:
        socket->write("HTTP/1.1 302 Found\r\nLocation: " + Url().toEncoded() +
                      "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        break;
      case Huge: {
        // A valid file followed by endless padding, sent as fast as the client reads.
        socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n[Quarrow]\r\nVERSION=99.0\r\n");
        auto more = [socket] {
          if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < (1 << 20))
            socket->write(QByteArray(256 * 1024, ';'));
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
        break;
      }
      case Drip: {
        // One byte at a time, for ever.
        socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n[Quarrow]\r\n");
        auto* timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write(";"); });
        timer->start(100);
        break;
      }
      case Silent:
        break;
    }
  }

  QTcpServer m_server;
};

}  // namespace

class TestWelcomeUpdate : public QObject {
  Q_OBJECT

 private:
  CTestHooks m_hooks;
  QTemporaryDir m_config;
  QTemporaryDir m_scratch;
  int m_nDeepScanHookCalls = 0;
  std::vector<std::pair<char, size_t>> m_folderEvents;

 private slots:
  void initTestCase() {
    QVERIFY(m_config.isValid() && m_scratch.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    // What the main window installs, except that a results folder asking for a deep scan is
    // only counted: the welcome wizard's own scan must leave none to ask for.
    m_hooks.deepScan = [this](CDirectory*) { ++m_nDeepScanHookCalls; };
    m_hooks.grew = [](CDirectory* folder) {
      CallOnGuiThread(qApp, [folder]() -> int64_t {
        NotifyFolderGrew(folder);
        return 0;
      });
    };
    FolderChangeListener listener;
    listener.begin = [this](CDirectory* f) { m_folderEvents.emplace_back('b', f->m_children.size()); };
    listener.end = [this](CDirectory* f) { m_folderEvents.emplace_back('e', f->m_children.size()); };
    SetFolderChangeListener(listener);
  }

  void cleanupTestCase() {
    m_hooks.deepScan = nullptr;
    m_hooks.grew = nullptr;
    SetFolderChangeListener({});
  }

  // The three pages in order; the device page's groups on a document with a fixed NTFS
  // volume, a removable FAT12 volume (listed first) and two disks; Next without a device.
  void pagesAndDeviceGroups() {
    auto doc = MakeImageDocument({Fixture("fat12.img"), Fixture("ntfs.img")});
    QCOMPARE(doc->Volumes().size(), size_t(2));
    QCOMPARE(doc->VirtualVolumes().size(), size_t(2));
    CLogicalDriver* card = doc->Volumes()[0].get();
    CLogicalDriver* ntfs = doc->Volumes()[1].get();
    QCOMPARE(QString::fromStdU16String(card->GetFileSystemText()), QString("FAT12"));
    card->m_nDriveType = DRIVE_REMOVABLE;  // as a card in a reader

    CWelcomeWizard wizard(doc.get());
    wizard.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wizard));
    QCOMPARE(wizard.windowTitle(), QString("Tarnwell Quarrow Recovery Wizard"));
    QCOMPARE(wizard.pageIds(), (QList<int>{WELCOME_PAGE_WELCOME, WELCOME_PAGE_DEVICES, WELCOME_PAGE_TYPES}));
    QCOMPARE(wizard.currentId(), int(WELCOME_PAGE_WELCOME));
    QCOMPARE(wizard.m_pStep0->m_pTitle->text(), QString("Welcome to the Recovery Wizard"));
    // Two paths, browsing first and chosen.
    QVERIFY(wizard.m_pStep0->m_pBrowse->isChecked());
    QCOMPARE(wizard.m_pStep0->m_pBrowse->text(), QString("&Browse the drive for deleted files"));
    QCOMPARE(wizard.m_pStep0->m_pDeepScan->text(), QString("&Deep scan"));
    SaveScreenshot(&wizard, "welcome_wizard_welcome");
    wizard.m_pStep0->m_pDeepScan->click();

    wizard.button(QWizard::NextButton)->click();
    QCOMPARE(wizard.currentId(), int(WELCOME_PAGE_DEVICES));
    QCOMPARE(wizard.currentPage()->title(), QString("Select the storage device to be scanned"));
    CDeviceListCtrl* list = wizard.m_pStep1->m_pList;
    QCOMPARE(list->viewMode(), QListView::IconMode);
    QCOMPARE(list->iconSize(), QSize(48, 48));
    // Rows: each group's header, then its devices; groups in their order.
    QStringList rows;
    for (int row = 0; row < list->count(); ++row) {
      QListWidgetItem* item = list->item(row);
      rows << (CDeviceListCtrl::IsHeader(item)
                   ? "[" + item->text() + "]"
                   : item->text() + "|" + item->data(CDeviceListCtrl::SizeRole).toString() + "|" +
                         item->data(CDeviceListCtrl::FileSystemRole).toString());
      QCOMPARE(bool(item->flags() & Qt::ItemIsSelectable), !CDeviceListCtrl::IsHeader(item));
    }
    auto row = [](CLogicalDriver* d, const char* fs) {
      return VolumeDisplayName(*d) + "|" + QString::fromStdU16String(d->GetSizeText()) + "|" + fs;
    };
    QCOMPARE(rows, (QStringList{"[Hard Disk Drives]", row(ntfs, "NTFS"), "[Removable Disk Drives]",
                                row(card, "FAT12"), "[Physical Drives]", row(doc->VirtualVolumes()[0].get(), "VIRTUAL FS"),
                                row(doc->VirtualVolumes()[1].get(), "VIRTUAL FS")}));
    // The first device listed by the document is chosen at first.
    QCOMPARE(wizard.m_pStep1->GetSelectedDevice(), card);
    SaveScreenshot(&wizard, "welcome_wizard_devices");

    // Next with nothing chosen: the message, and the page stays.
    list->clearSelection();
    QVERIFY(!wizard.m_pStep1->GetSelectedDevice());
    {
      CMessageBoxAnswerer answerer({"OK"});
      wizard.button(QWizard::NextButton)->click();
      QVERIFY(WaitUntil([&] { return answerer.Remaining() == 0; }, 10000));
      QCOMPARE(answerer.Seen(), QStringList{"Please select a storage device to scan."});
    }
    QCOMPARE(wizard.currentId(), int(WELCOME_PAGE_DEVICES));

    ItemOf(list, ntfs)->setSelected(true);
    wizard.button(QWizard::NextButton)->click();
    QCOMPARE(wizard.currentId(), int(WELCOME_PAGE_TYPES));
    QAbstractButton* finish = wizard.button(QWizard::FinishButton);
    QVERIFY(finish->isVisible() && finish->isEnabled());
    QCOMPARE(finish->text(), QString("Start Scan"));
    QVERIFY(wizard.button(QWizard::BackButton)->isEnabled());
    QCOMPARE(wizard.m_pStep2->m_pTree->topLevelItemCount(), 7);
    SaveScreenshot(&wizard, "welcome_wizard_types");
    // Back keeps the choice.
    wizard.button(QWizard::BackButton)->click();
    QCOMPARE(wizard.m_pStep1->GetSelectedDevice(), ntfs);
    wizard.reject();
    QVERIFY(!wizard.m_pDevice);
  }

  // "Show this screen next" mirrors RecoveryWizard and writes it at once, even when the
  // wizard is then cancelled.
  void showNextIsWrittenAtOnce() {
    auto doc = MakeImageDocument({Fixture("fat12.img")});
    TheApp().m_settings.RecoveryWizard = 1;
    QVERIFY(SaveSettings(TheApp().m_settings));
    for (uint32_t expected : {0u, 1u}) {
      CWelcomeWizard wizard(doc.get());
      wizard.show();
      QVERIFY(QTest::qWaitForWindowExposed(&wizard));
      QCheckBox* box = wizard.m_pStep0->m_pShowNext;
      QCOMPARE(box->isChecked(), expected == 0);
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
      QCOMPARE(box->isChecked(), expected == 1);
      CSettings stored;
      LoadSettings(stored);
      QCOMPARE(stored.RecoveryWizard, expected);
      QCOMPARE(TheApp().m_settings.RecoveryWizard, expected);
      wizard.reject();
    }
  }

  // Cancel on any page runs nothing and changes nothing.
  void cancelRunsNothing() {
    auto doc = MakeImageDocument({Fixture("fat12.img")});
    CLogicalDriver* disk = doc->VirtualVolumes()[0].get();
    CDirectory* folder = disk->m_pLostFolder;
    SetAllScanFlags(*disk, false);
    GuiApp().m_strSourceDevice = "unchanged";
    for (int page : {WELCOME_PAGE_WELCOME, WELCOME_PAGE_DEVICES, WELCOME_PAGE_TYPES}) {
      int reached = -1;
      WhenModalShown([](QWidget* w) { return qobject_cast<CWelcomeWizard*>(w) != nullptr; },
                     [&](QWidget* w) {
                       auto* wizard = static_cast<CWelcomeWizard*>(w);
                       wizard->m_pStep0->m_pDeepScan->click();
                       while (wizard->currentId() < page) wizard->button(QWizard::NextButton)->click();
                       reached = wizard->currentId();
                       wizard->button(QWizard::CancelButton)->click();
                     });
      QVERIFY(!RunWelcomeWizard(nullptr, doc.get(), nullptr));
      QCOMPARE(reached, page);
    }
    QVERIFY(folder->m_children.empty());
    QVERIFY(!folder->m_bLoaded);
    for (const NamedFlag& f : ScanFlags()) QCOMPARE(disk->*(f.pFlag), 0u);
    QCOMPARE(GuiApp().m_strSourceDevice, std::string("unchanged"));
  }

  // Finishing with the default types on fat12.img: its FAT volume with a real navigation
  // tree, and the image as a disk (its virtual volume) without one. The old results (a file,
  // and a lost folder shown and selected in the tree) go; the scan refills "LostFiles", which
  // ends loaded and selected, and opening it asks for no second scan.
  void finishScansAndSelectsTheFolder_data() {
    QTest::addColumn<bool>("disk");
    QTest::addColumn<QStringList>("found");
    QTest::newRow("FAT volume in the tree") << false << QStringList{"FILE_1.JPG", "FILE_2.JPG"};
    QTest::newRow("disk, no tree") << true << QStringList{"FILE_1.JPG", "FILE_2.JPG"};
  }

  void finishScansAndSelectsTheFolder() {
    QFETCH(bool, disk);
    QFETCH(QStringList, found);
    auto doc = MakeImageDocument({Fixture("fat12.img")});
    CLogicalDriver* device = disk ? doc->VirtualVolumes()[0].get() : doc->Volumes()[0].get();
    CDirectory* folder = device->m_pLostFolder;
    QVERIFY(folder && !folder->m_bLoaded);
    folder->AddChild(std::make_unique<CVirtualFile>())->m_strName = u"FILE_1.OLD";
    folder->AddChild(std::make_unique<COldLostFolder>())->m_strName = u"Old lost folder";
    folder->m_bLoaded = true;
    SetAllScanFlags(*device, false);

    std::unique_ptr<CFoldersTreeDlg> pane;
    QTreeWidgetItem* folderItem = nullptr;
    if (!disk) {
      pane = std::make_unique<CFoldersTreeDlg>(doc.get());
      pane->resize(320, 400);
      pane->show();
      QVERIFY(QTest::qWaitForWindowExposed(pane.get()));
      auto* oldFolder = static_cast<CDirectory*>(folder->m_children[1].get());
      QVERIFY(pane->SelectNode(oldFolder));
      folderItem = pane->Tree()->currentItem()->parent();
      QCOMPARE(CFSTreeCtrl::NodeOf(folderItem), folder);
    }

    GuiApp().m_strSourceDevice.clear();
    m_nDeepScanHookCalls = 0;
    m_folderEvents.clear();
    QStringList chosen;
    WhenModalShown([](QWidget* w) { return qobject_cast<CWelcomeWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* wizard = static_cast<CWelcomeWizard*>(w);
                     wizard->m_pStep0->m_pDeepScan->click();
                     wizard->button(QWizard::NextButton)->click();
                     CDeviceListCtrl* list = wizard->m_pStep1->m_pList;
                     QListWidgetItem* item = ItemOf(list, device);
                     if (!item) return wizard->reject();
                     list->setCurrentItem(item);
                     chosen << item->text();
                     wizard->button(QWizard::NextButton)->click();
                     wizard->button(QWizard::FinishButton)->click();
                   });
    QVERIFY(RunWelcomeWizard(nullptr, doc.get(), pane.get()));
    QCOMPARE(chosen, QStringList{VolumeDisplayName(*device)});

    QVERIFY(FlagsAreDefaults(*device));
    QCOMPARE(GuiApp().m_strSourceDevice, device->m_source.strPath);
    QVERIFY(folder->m_bLoaded);
    QStringList names;
    for (const auto& child : folder->m_children) names << QString::fromStdU16String(child->m_strName);
    QCOMPARE(names, found);
    using Event = std::pair<char, size_t>;
    QCOMPARE(m_folderEvents.front(), (Event{'b', 2}));
    QCOMPARE(m_folderEvents.back(), (Event{'e', size_t(found.size())}));

    if (pane) {
      // The folder is selected in the tree, and no item is left showing a destroyed folder.
      QTreeWidgetItem* current = pane->Tree()->currentItem();
      QVERIFY(current);
      QCOMPARE(current, folderItem);
      QCOMPARE(CFSTreeCtrl::NodeOf(current), folder);
      QCOMPARE(folderItem->childCount(), 0);
      // Opening it now shows the results without asking for another scan.
      folderItem->setExpanded(true);
      QApplication::processEvents();
      QCOMPARE(m_nDeepScanHookCalls, 0);
      QCOMPARE(folder->m_children.size(), size_t(found.size()));
    }
  }

  // Browsing: the device page lists the volumes only and is the last page; finishing opens
  // the volume in the tree and its list with the deleted items first, and scans nothing.
  void browseOpensTheDriveWithDeletedItemsFirst() {
    auto doc = MakeImageDocument({Fixture("fat12.img")});
    CLogicalDriver* volume = doc->Volumes()[0].get();
    CMainFrame frame(doc.get());
    frame.resize(900, 600);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QStringList listed;
    bool finishShown = false;
    WhenModalShown([](QWidget* w) { return qobject_cast<CWelcomeWizard*>(w) != nullptr; },
                   [&](QWidget* w) {
                     auto* wizard = static_cast<CWelcomeWizard*>(w);
                     wizard->button(QWizard::NextButton)->click();
                     CDeviceListCtrl* list = wizard->m_pStep1->m_pList;
                     for (int r = 0; r < list->count(); ++r)
                       if (!CDeviceListCtrl::IsHeader(list->item(r))) listed << list->item(r)->text();
                     list->setCurrentItem(ItemOf(list, volume));
                     finishShown = wizard->button(QWizard::FinishButton)->isVisible() &&
                                   !wizard->button(QWizard::NextButton)->isVisible();
                     wizard->button(QWizard::FinishButton)->click();
                   });
    m_nDeepScanHookCalls = 0;
    QVERIFY(RunWelcomeWizard(&frame, doc.get(), GuiApp().m_pTreePane));
    // An image's volume is shown by the image's file name and its label.
    QCOMPARE(listed, QStringList{QString("fat12.img (QFAT12)")});
    QVERIFY(finishShown);
    QCOMPARE(m_nDeepScanHookCalls, 0);
    QCOMPARE(CFSTreeCtrl::NodeOf(GuiApp().m_pTreePane->Tree()->currentItem()), volume->m_pRoot);
    // Folders lead (as in any sort); among the files the deleted ones come before the others.
    CFSListModel* model = GuiApp().m_pView->List()->Model();
    bool seenExisting = false;
    int deletedFiles = 0;
    for (int r = 0; r < model->rowCount(); ++r) {
      CDirEntry* node = model->NodeAt(r);
      if (node->IsDirectory()) continue;
      if (!node->m_bDeleted) seenExisting = true;
      else {
        QVERIFY2(!seenExisting, qPrintable(QString::fromStdU16String(node->m_strName)));
        ++deletedFiles;
      }
    }
    QVERIFY(deletedFiles > 0);
    QVERIFY(seenExisting);
  }

  // The version comparison on the numbers a server may write.
  void versionComparison_data() {
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("newer");
    QTest::newRow("higher decimal") << "1.920" << "1.950" << true;
    QTest::newRow("equal") << "1.920" << "1.920" << false;
    QTest::newRow("1.9 is below 1.920") << "1.920" << "1.9" << false;
    QTest::newRow("trailing zeros are equal") << "1.9" << "1.900" << false;
    QTest::newRow("higher whole part") << "1.999" << "2.0" << true;
    QTest::newRow("dotted: later minor") << "0.1.0" << "0.2.0" << true;
    QTest::newRow("dotted: 10 after 9") << "0.9.1" << "0.10.0" << true;
    QTest::newRow("dotted: equal with a missing part") << "0.1.0" << "0.1" << false;
    QTest::newRow("dotted: older") << "0.1.0" << "0.0.9" << false;
    QTest::newRow("long numbers") << "1.0" << "99999999999999999999999.0" << true;
    QTest::newRow("blanks around") << "0.1.0" << " 0.1.1 " << true;
    QTest::newRow("text") << "0.1.0" << "newest" << false;
    QTest::newRow("negative") << "0.1.0" << "-5" << false;
    QTest::newRow("empty") << "0.1.0" << "" << false;
    QTest::newRow("trailing dot") << "0.1.0" << "9." << false;
  }

  void versionComparison() {
    QFETCH(QString, local);
    QFETCH(QString, server);
    QFETCH(bool, newer);
    QCOMPARE(IsNewerVersion(local, server), newer);
  }

  // The whole check against the local server: only a well-formed answer naming a later
  // version says yes; nothing hostile gets more than "no".
  void updateCheckAnswers_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("newer");
    const QByteArray local = LocalProductVersion().toLatin1();
    QTest::newRow("newer") << int(CHttpStub::Version)
                           << QByteArray("; update information\r\n[Quarrow]\r\nVERSION=99.0.0\r\nURL=x\r\n") << true;
    QTest::newRow("same") << int(CHttpStub::Version) << QByteArray("[Quarrow]\nVERSION=" + local + "\n") << false;
    QTest::newRow("older") << int(CHttpStub::Version) << QByteArray("[quarrow]\nversion = 0.0.1\n") << false;
    QTest::newRow("section missing") << int(CHttpStub::Body) << QByteArray("<html><body>Welcome</body></html>")
                                     << false;
    QByteArray garbage(4096, '\0');
    QRandomGenerator rng(7);
    for (char& c : garbage) c = char(rng.bounded(256));
    QTest::newRow("garbage") << int(CHttpStub::Body) << garbage << false;
    // Compressed answers are not unpacked (a small one could unpack to gigabytes).
    QTest::newRow("compressed") << int(CHttpStub::Deflated) << QByteArray("[Quarrow]\nVERSION=99.0\n") << false;
    QTest::newRow("error status") << int(CHttpStub::Status404) << QByteArray("[Quarrow]\nVERSION=99.0\n") << false;
    QTest::newRow("redirect loop") << int(CHttpStub::RedirectLoop) << QByteArray() << false;
    QTest::newRow("huge body") << int(CHttpStub::Huge) << QByteArray() << false;
    QTest::newRow("slow drip") << int(CHttpStub::Drip) << QByteArray() << false;
  }

  void updateCheckAnswers() {
    QFETCH(int, mode);
    QFETCH(QByteArray, body);
    QFETCH(bool, newer);
    CHttpStub server;
    server.m_mode = CHttpStub::Mode(mode);
    server.m_body = body;
    QString error;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(CheckForUpdateAt(server.Url(), 1500, &error), newer);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(error.isEmpty(), newer || mode == CHttpStub::Version);
    // One request for the file, whatever the answer: a redirect is not followed.
    QCOMPARE(server.m_requests.size(), 1);
    QVERIFY(server.m_requests[0].startsWith("GET /quarrow_update.ini HTTP/1.1\r\n"));
    QVERIFY(server.m_requests[0].contains("User-Agent: Tarnwell Quarrow/"));
    if (mode == CHttpStub::Huge) QVERIFY(error.contains("larger"));
  }

  // CheckForUpdate() takes its address from QUARROW_UPDATE_URL; a server that never answers
  // ends in "no" within the check's own time-out; so does a closed port and an address that
  // is not http.
  void updateCheckAddressAndTimeOut() {
    qunsetenv("QUARROW_UPDATE_URL");
    const QUrl builtIn = UpdateInfoUrl();
    QVERIFY(builtIn.isValid());
    QCOMPARE(builtIn.scheme(), QString("http"));
    QVERIFY(builtIn.path().endsWith("/quarrow_update.ini"));

    CHttpStub server;
    server.m_body = "[Quarrow]\nVERSION=99.0\n";
    qputenv("QUARROW_UPDATE_URL", server.Url().toEncoded());
    QCOMPARE(UpdateInfoUrl(), server.Url());
    QVERIFY(CheckForUpdate());

    server.m_mode = CHttpStub::Silent;
    QElapsedTimer clock;
    clock.start();
    QString error;
    QVERIFY(!CheckForUpdate(&error));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!error.isEmpty());

    quint16 closedPort;
    {
      QTcpServer probe;
      QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
      closedPort = probe.serverPort();
    }
    qputenv("QUARROW_UPDATE_URL", QStringLiteral("http://127.0.0.1:%1/quarrow_update.ini").arg(closedPort).toUtf8());
    QVERIFY(!CheckForUpdate(&error));
    QVERIFY(!error.isEmpty());

    QFile local(m_scratch.path() + "/update.ini");
    QVERIFY(local.open(QIODevice::WriteOnly));
    local.write("[Quarrow]\nVERSION=99.0\n");
    local.close();
    qputenv("QUARROW_UPDATE_URL", QUrl::fromLocalFile(local.fileName()).toEncoded());
    QVERIFY(!CheckForUpdate(&error));
    QVERIFY(error.contains("not an http address"));
    qunsetenv("QUARROW_UPDATE_URL");
  }

  // The updater is started from PATH with "q" when quiet and no argument otherwise; a
  // missing updater is reported as not started, and nothing else happens.
  void updaterStart() {
    const QByteArray savedPath = qgetenv("PATH");
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QString record = bin.path() + "/arguments";
    QFile script(bin.path() + "/UpdateManager");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '%1.tmp' && mv '%1.tmp' '%1'\n")
                     .arg(record)
                     .toUtf8());
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", (bin.path() + ":/usr/bin:/bin").toUtf8());

    auto recorded = [&]() -> QByteArray {
      QFile f(record);
      return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QVERIFY(StartUpdaterQuietly());
    QVERIFY(WaitUntil([&] { return QFile::exists(record); }, 10000));
    QCOMPARE(recorded(), QByteArray("1|q|"));
    QFile::remove(record);
    QVERIFY(StartUpdaterInteractive());
    QVERIFY(WaitUntil([&] { return QFile::exists(record); }, 10000));
    QCOMPARE(recorded(), QByteArray("0|"));

    QTemporaryDir empty;
    qputenv("PATH", empty.path().toUtf8());
    const bool quiet = StartUpdaterQuietly(), interactive = StartUpdaterInteractive();
    qputenv("PATH", savedPath);
    QVERIFY(!quiet);
    QVERIFY(!interactive);
  }

  // The guide opens in a window of its own, not modal; its table of contents leads to
  // anchors that exist. A missing guide gives a message naming where it should be.
  void helpWindow() {
    const QString guide = QStringLiteral(QUARROW_FIXTURE_DIR "/../../ui/Media/guide.htm");
    QVERIFY(QFile::exists(guide));
    CHelpViewer* viewer = OpenHelpWindow(guide);
    QVERIFY(viewer);
    QVERIFY(QTest::qWaitForWindowExposed(viewer));
    QVERIFY(viewer->isWindow());
    QCOMPARE(viewer->windowModality(), Qt::NonModal);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(viewer->m_bLoaded);
    QTextDocument* doc = viewer->m_pBrowser->document();
    QCOMPARE(doc->metaInformation(QTextDocument::DocumentTitle), QString("Tarnwell Quarrow User Guide"));
    std::set<QString> anchors, links;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat format = it.fragment().charFormat();
        for (const QString& name : format.anchorNames()) anchors.insert(name);
        if (format.anchorHref().startsWith('#')) links.insert(format.anchorHref().mid(1));
      }
    }
    QVERIFY(links.size() >= 5);
    for (const QString& link : links) QVERIFY2(anchors.count(link), qPrintable(link));
    SaveScreenshot(viewer, "help_window");

    // The same window serves the next call.
    const QString missing = m_scratch.path() + "/no/guide.htm";
    QCOMPARE(OpenHelpWindow(missing), viewer);
    QVERIFY(!viewer->m_bLoaded);
    QVERIFY(viewer->m_pBrowser->toPlainText().contains("The user guide was not found"));
    QVERIFY(viewer->m_pBrowser->toPlainText().contains(missing));

    // Help Topics looks beside the program.
    ShowHelpTopics(nullptr);
    QCOMPARE(viewer->m_strPath, QCoreApplication::applicationDirPath() + "/Media/guide.htm");
    QCOMPARE(viewer->m_bLoaded, QFile::exists(viewer->m_strPath));
    viewer->close();
  }
};

QTEST_MAIN(TestWelcomeUpdate)
#include "test_welcome_update.moc"
