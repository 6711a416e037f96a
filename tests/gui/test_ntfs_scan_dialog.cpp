// The MFT scanning dialog: opening an NTFS folder reads the MFT behind it; Cancel leaves the
// volume unread so that the next opening asks again.
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>
#include <atomic>
#include <fstream>
#include <set>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "app/Document.h"
#include "support/Hooks.h"
#include "ntfs/NTFSDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "support/NtfsFixtures.h"
#include "tree/DirEntry.h"
#include "ui/BusyIndicator.h"
#include "ui/GuiApp.h"
#include "ui/NtfsScanDlg.h"

namespace {
// Watches the scanning dialogs the application shows: counts them, records the progress text
// each one shows when it closes, and with m_bCancel presses Cancel as soon as one opens.
//
// The press is queued from the dialog's show event, ahead of the dialog's own start of its
// worker, so it comes before the worker's first step however fast the scan would run.
class CScanDialogWatch : public QObject {
 public:
  CScanDialogWatch() { qApp->installEventFilter(this); }
  ~CScanDialogWatch() override { qApp->removeEventFilter(this); }

  bool eventFilter(QObject* o, QEvent* e) override {
    auto* dlg = qobject_cast<CNTFSMFTScanningDlg*>(o);
    if (!dlg) return false;
    if (e->type() == QEvent::Show) {
      ++m_nShown;
      if (m_bCancel) {
        QMetaObject::invokeMethod(
            dlg,
            [this, dlg] {
              m_bPlaying = dlg->findChild<CBusyIndicator*>()->IsPlaying();
              SaveScreenshot(dlg, QStringLiteral("ntfs_mft_scanning"));
              dlg->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
            },
            Qt::QueuedConnection);
      }
    } else if (e->type() == QEvent::Hide) {
      m_strLastText = dlg->findChild<QLabel*>(QStringLiteral("progressText"))->text();
      m_nBarMax = dlg->findChild<QProgressBar*>(QStringLiteral("progressBar"))->maximum();
    }
    return false;
  }

  int m_nShown = 0;
  bool m_bCancel = false;
  bool m_bPlaying = false;
  QString m_strLastText;
  int m_nBarMax = -1;
};

CNTFSDriver* OnlyNtfsVolume(CKelvoDoc& doc) {
  if (doc.Volumes().size() != 1) return nullptr;
  return dynamic_cast<CNTFSDriver*>(doc.Volumes()[0].get());
}

using Listed = std::set<std::tuple<std::string, bool, bool>>;  // name (UTF-8), folder, deleted

// The root's children other than the volume's own "LostFiles" and "DeletedFiles".
Listed RootListing(CNTFSDriver& v) {
  Listed out;
  for (const auto& c : v.m_pRoot->m_children) {
    if (c.get() == v.m_pLostFolder || c.get() == v.m_pDeletedFolder) continue;
    out.emplace(Q(c->m_strName).toStdString(), c->IsDirectory(), c->m_bDeleted);
  }
  return out;
}

const nlohmann::json& ManifestImage(const nlohmann::json& manifest, const std::string& name) {
  for (const auto& image : manifest.at("images"))
    if (image.at("name") == name) return image;
  throw std::runtime_error("no image " + name + " in the manifest");
}
}  // namespace

class TestNtfsScanDialog : public QObject {
  Q_OBJECT
 private:
  CTestHooks m_hooks;

 private slots:
  void init() { m_hooks.readMft = [](CNTFSDriver* v) { RunMftScanDialog(v); }; }
  void cleanup() { m_hooks.readMft = nullptr; }

  // The first listing of the root reads the MFT behind the dialog, which shows the clusters
  // read and closes itself; the root then lists the volume's files.
  void firstListingReadsMft() {
    auto doc = MakeImageDocument({QString::fromStdString(FixturePath("ntfs.img"))});
    CNTFSDriver* v = OnlyNtfsVolume(*doc);
    QVERIFY(v);
    QVERIFY(!v->m_bMftLoaded);
    CScanDialogWatch watch;
    v->m_pRoot->LoadChildren(false, false, false);
    QCOMPARE(watch.m_nShown, 1);
    QVERIFY(v->m_bMftLoaded);
    QVERIFY(v->m_pRoot->m_bLoaded);

    const uint64_t total = CNTFSMFTScanningDlg::MftClusters(*v);
    QVERIFY(total > 0);
    QCOMPARE(watch.m_nBarMax, int(total));
    auto shown = QRegularExpression(QStringLiteral("^(\\d+)/(\\d+)$")).match(watch.m_strLastText);
    QVERIFY2(shown.hasMatch(), qPrintable(watch.m_strLastText));
    QVERIFY(shown.captured(1).toULongLong() > 0);
    QCOMPARE(shown.captured(2).toULongLong(), quint64(total));

    std::ifstream in(FixtureDir() + "/manifest.json");
    const auto manifest = nlohmann::json::parse(in);
    Listed expected;
    for (const auto& f : ManifestImage(manifest, "ntfs.img").at("volumes").at(0).at("files"))
      expected.emplace(f.at("path").get<std::string>(), false, f.at("deleted").get<bool>());
    QCOMPARE(RootListing(*v), expected);
  }

  // Cancel leaves the MFT unread and the root unloaded and empty; opening the root again shows
  // the dialog again, and that run completes.
  void cancelledScanIsAskedAgain() {
    const std::string name = "ntfs-512.img";
    auto doc = MakeImageDocument({QString::fromStdString(NtfsFixturePath(name))});
    CNTFSDriver* v = OnlyNtfsVolume(*doc);
    QVERIFY(v);
    const size_t before = v->m_pRoot->m_children.size();

    CScanDialogWatch watch;
    watch.m_bCancel = true;
    v->m_pRoot->LoadChildren(false, false, false);
    QCOMPARE(watch.m_nShown, 1);
    QVERIFY(watch.m_bPlaying);
    QVERIFY(!v->m_bMftLoaded);
    QVERIFY(!v->m_pRoot->m_bLoaded);
    QCOMPARE(v->m_pRoot->m_children.size(), before);

    watch.m_bCancel = false;
    v->m_pRoot->LoadChildren(false, false, false);
    QCOMPARE(watch.m_nShown, 2);
    QVERIFY(v->m_bMftLoaded);
    QVERIFY(v->m_pRoot->m_bLoaded);

    Listed expected;
    for (const auto& item : NtfsManifestImage(name).at("items")) {
      const std::string path = item.at("path");
      if (path.find('/') != std::string::npos || item.value("hidden", false)) continue;
      expected.emplace(path, item.at("dir").get<bool>(), item.at("deleted").get<bool>());
    }
    QVERIFY(!expected.empty());
    QCOMPARE(RootListing(*v), expected);
  }

  // A worker thread that needs the MFT (a search, a save) reads it without a window: no
  // widget may be made off the GUI thread.
  void offGuiThreadReadsWithoutDialog() {
    auto doc = MakeImageDocument({QString::fromStdString(FixturePath("ntfs.img"))});
    CNTFSDriver* v = OnlyNtfsVolume(*doc);
    QVERIFY(v);
    CScanDialogWatch watch;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      v->EnsureMftLoaded();
      done = true;
    });
    bool finished = WaitUntil([&] { return done.load(); }, 60000);
    worker.join();
    QVERIFY(finished);
    QCOMPARE(watch.m_nShown, 0);
    QVERIFY(v->m_bMftLoaded);
  }
};

QTEST_MAIN(TestNtfsScanDialog)
#include "test_ntfs_scan_dialog.moc"
