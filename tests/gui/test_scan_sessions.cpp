// File > Open Scan... and Save Scan...: a deep scan stopped part way (a session written by the
// command line) is resumed in the main window and ends with the results of one whole scan;
// the window's session is read back by the command line; a session of another image is
// refused with the reason.
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include <nlohmann/json.hpp>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiHooks.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/ResultFilterBar.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <functional>

namespace {
std::string Cli(const std::string& args) { return std::string(QUARROW_CLI_PATH) + " " + args; }

// The names in a deepscan --json listing, in order.
QStringList NamesOf(const std::string& jsonLines) {
  QStringList names;
  std::istringstream in(jsonLines);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names << QString::fromStdString(nlohmann::json::parse(line)["name"].get<std::string>());
  return names;
}
}  // namespace

class ScanSessionsTest : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;
  QTemporaryDir m_tmp;

  // Selects the volume of the image named label in the tree; answers it.
  CLogicalDriver* SelectVolume(const QString& label) {
    CFSTreeCtrl* tree = m_frame->TreePane()->Tree();
    QTreeWidgetItem* top = tree->m_pComputer;
    for (int i = 0; i < top->childCount(); ++i) {
      CDirectory* root = CFSTreeCtrl::NodeOf(top->child(i));
      if (root && root->m_pDriver && QString::fromStdU16String(root->m_pDriver->m_szName).contains(label)) {
        tree->setCurrentItem(top->child(i));
        return root->m_pDriver;
      }
    }
    return nullptr;
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_tmp.isValid());
    m_app.InitCore(nullptr);
    m_doc = std::make_unique<CKelvoDoc>(false);
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    InstallCoreHooks(m_frame.get());
    m_frame->setGeometry(CMainFrame::InitialGeometry(QRect(0, 0, 1280, 1024)));
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    const QStringList messages = m_frame->OpenImages({QString::fromStdString(FixturePath("fat16.img"))}, false);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
  }

  void cleanupTestCase() {
    RemoveCoreHooks();
    m_frame.reset();
    m_doc.reset();
  }

  void resumeInTheWindowAndBackOnTheCommandLine() {
    const std::string image = ShellQuote(FixturePath("fat16.img"));
    const std::string whole = (m_tmp.path() + "/whole.qscan").toStdString();
    std::string full, err;
    QCOMPARE(RunCommand(Cli("deepscan " + image + " --types all --json --session " + ShellQuote(whole)), &full, &err),
             0);
    const QStringList expected = NamesOf(full);
    QVERIFY(expected.size() >= 4);

    // The same session as if the scan had been stopped half-way: the finds before that
    // unit, and that unit to go on from.
    nlohmann::json session = nlohmann::json::parse(std::ifstream(whole));
    const auto& finds = session["finds"];
    const uint64_t middle = finds[finds.size() / 2][0].get<uint64_t>();
    nlohmann::json before = nlohmann::json::array();
    for (const auto& f : finds)
      if (f[0].get<uint64_t>() < middle) before.push_back(f);
    session["finds"] = before;
    session["next_unit"] = middle;
    session["complete"] = false;
    const QString half = m_tmp.path() + "/half.qscan";
    std::ofstream(half.toStdString()) << session.dump();

    CLogicalDriver* volume = SelectVolume("fat16");
    QVERIFY(volume);
    QVERIFY(!m_frame->Action(ID_FILE_SAVE_SCAN)->isEnabled());  // nothing scanned yet
    QVERIFY(m_frame->Action(ID_FILE_OPEN_SCAN)->isEnabled());
    QCOMPARE(m_frame->OpenScanFrom(half), QString());
    TakeJobSummaries();
    QStringList names;
    for (const auto& child : volume->m_pLostFolder->m_children) names << QString::fromStdU16String(child->m_strName);
    QCOMPARE(names, expected);
    QCOMPARE(m_frame->View()->List()->Model()->rowCount(), int(expected.size()));

    // Saved from the window, the finished session gives the command line the whole list.
    m_frame->UpdateCommands();
    QVERIFY(m_frame->Action(ID_FILE_SAVE_SCAN)->isEnabled());
    SelectVolume("fat16");
    const QString saved = m_tmp.path() + "/saved.qscan";
    QCOMPARE(m_frame->SaveScanTo(saved), QString());
    std::string again;
    QCOMPARE(RunCommand(Cli("deepscan " + image + " --json --resume " + ShellQuote(saved.toStdString())), &again, &err),
             0);
    QCOMPARE(again, full);
  }

  // The results folder's filter bar: the list keeps what the type, the size range and the
  // name pattern let through, and selecting all selects only those (what Recover writes).
  void filterBarNarrowsTheResults() {
    CLogicalDriver* volume = SelectVolume("fat16");
    QVERIFY(volume && !volume->m_pLostFolder->m_children.empty());
    CFSTreeCtrl* tree = m_frame->TreePane()->Tree();
    tree->setCurrentItem(tree->FindLostFolderItem(tree->FindVolumeItem(volume), volume));
    CResultFilterBar* bar = m_frame->View()->FilterBar();
    QVERIFY(bar->isVisible());
    CFSListCtrl* list = m_frame->View()->List();
    const auto& all = volume->m_pLostFolder->m_children;
    QCOMPARE(list->Model()->rowCount(), int(all.size()));
    auto expect = [&](const std::function<bool(const CDirEntry&)>& keep) {
      std::vector<CDirEntry*> want;
      for (const auto& n : all)
        if (keep(*n)) want.push_back(n.get());
      QVERIFY(!want.empty() && want.size() < all.size());
      QCOMPARE(list->Model()->rowCount(), int(want.size()));
      list->SelectAll();
      std::vector<CDirEntry*> got = list->SelectedNodes();
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      QVERIFY(got == want);
    };
    // The type list offers the types found; choose the first one.
    QVERIFY(bar->m_pType->count() >= 3);
    bar->m_pType->setCurrentIndex(1);
    const std::u16string type = bar->m_pType->currentText().toStdU16String();
    expect([&](const CDirEntry& n) { return QString::fromStdU16String(n.m_strExtension).toUpper().toStdU16String() == type; });
    SaveScreenshot(m_frame.get(), QStringLiteral("results-filter-bar"));
    bar->m_pType->setCurrentIndex(0);
    // A size range (K = 1024), then a name pattern on top of it.
    uint64_t largest = 0;
    for (const auto& n : all) largest = std::max(largest, n->m_nSize);
    bar->m_pMinSize->setText(QString::number(largest / 1024) + "k");
    expect([&](const CDirEntry& n) { return n.m_nSize >= largest / 1024 * 1024; });
    bar->m_pMinSize->clear();
    bar->m_pName->setText("FILE_1*");
    expect([](const CDirEntry& n) { return QString::fromStdU16String(n.m_strName).startsWith("FILE_1"); });
    // A size that does not read as one is not used.
    bar->m_pName->clear();
    bar->m_pMaxSize->setText("lots");
    QCOMPARE(list->Model()->rowCount(), int(all.size()));
    bar->m_pClear->click();
    QCOMPARE(bar->m_pMaxSize->text(), QString());
    // Another folder is shown whole, without the bar.
    tree->setCurrentItem(tree->FindVolumeItem(volume));
    QVERIFY(!bar->isVisible());
    QVERIFY(!list->Model()->Filter().Active());
  }

  void anotherImagesSessionIsRefused() {
    const std::string other = (m_tmp.path() + "/other.qscan").toStdString();
    std::string out, err;
    QCOMPARE(RunCommand(Cli("deepscan " + ShellQuote(FixturePath("ntfs.img")) + " --session " + ShellQuote(other)),
                        &out, &err),
             0);
    CLogicalDriver* volume = SelectVolume("fat16");
    QVERIFY(volume);
    const size_t before = volume->m_pLostFolder->m_children.size();
    const QString error = m_frame->OpenScanFrom(QString::fromStdString(other));
    QVERIFY2(error.contains("its first sectors differ"), qPrintable(error));
    QCOMPARE(volume->m_pLostFolder->m_children.size(), before);
    QVERIFY(m_frame->OpenScanFrom(m_tmp.path() + "/missing.qscan").contains("No such file"));
  }
};

QTEST_MAIN(ScanSessionsTest)
#include "test_scan_sessions.moc"
