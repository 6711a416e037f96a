// An exFAT image in the main window: the volume under "My Computer" with its file system,
// its deleted folder in the tree, and its deleted files in the list with their status words
// and the reasons behind them.
#include <QTest>
#include <QTreeView>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "support/ExFatFixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/GuiHooks.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"

class ExFatVolumeTest : public QObject {
  Q_OBJECT
  CKelvoApp m_app;
  std::unique_ptr<CKelvoDoc> m_doc;
  std::unique_ptr<CMainFrame> m_frame;

  CFSTreeCtrl* Tree() { return m_frame->TreePane()->Tree(); }
  CFSListModel* Model() { return m_frame->View()->List()->Model(); }
  int Row(const QString& name) {
    for (int r = 0; r < Model()->rowCount(); ++r)
      if (Model()->index(r, 0).data().toString() == name) return r;
    return -1;
  }
  // The text of the named item's column whose header is title, for role.
  QString Cell(const QString& name, const QString& title, int role = Qt::DisplayRole) {
    for (int c = 0; c < Model()->columnCount(); ++c)
      if (Model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString() == title)
        return Model()->index(Row(name), c).data(role).toString();
    return QStringLiteral("no column %1").arg(title);
  }

 private slots:
  void initTestCase() {
    m_app.InitCore(nullptr);
    m_doc = std::make_unique<CKelvoDoc>(false);
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    InstallCoreHooks(m_frame.get());
    m_frame->setGeometry(CMainFrame::InitialGeometry(QRect(0, 0, 1280, 1024)));
    m_frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_frame.get()));
    QStringList messages = m_frame->OpenImages({QString::fromStdString(ExFatFixturePath("exfat.img"))}, false);
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
  }

  void cleanupTestCase() {
    SaveScreenshot(m_frame.get(), QStringLiteral("exfat-volume"));
    RemoveCoreHooks();
    m_frame.reset();
    m_doc.reset();
  }

  void volumeTreeAndList() {
    QTreeWidgetItem* top = Tree()->m_pComputer;
    QTreeWidgetItem* volume = nullptr;
    for (int i = 0; i < top->childCount(); ++i) {
      CDirectory* root = CFSTreeCtrl::NodeOf(top->child(i));
      if (root && root->m_pDriver && Q(root->m_pDriver->m_szName).contains(QStringLiteral("(QEXFAT)"))) {
        volume = top->child(i);
        QCOMPARE(Q(root->m_pDriver->GetFileSystemText()), QStringLiteral("exFAT"));
      }
    }
    QVERIFY(volume);
    Tree()->setCurrentItem(volume);
    QVERIFY(m_frame->View()->IsListShown());
    volume->setExpanded(true);
    QTreeWidgetItem* old = nullptr;
    for (int i = 0; i < volume->childCount(); ++i)
      if (volume->child(i)->text(0) == QStringLiteral("OldStuff")) old = volume->child(i);
    QVERIFY(old);
    QVERIFY(CFSTreeCtrl::NodeOf(old)->m_bDeleted);

    // The whole name of a deleted file, its word, and why.
    QVERIFY(Row(QStringLiteral("Holiday photo.jpg")) >= 0);
    QCOMPARE(Cell(QStringLiteral("Holiday photo.jpg"), QStringLiteral("Status")), QStringLiteral("Excellent"));
    QCOMPARE(Cell(QStringLiteral("Pair A.bin"), QStringLiteral("Status")), QStringLiteral("Good"));
    QCOMPARE(Cell(QStringLiteral("Pair A.bin"), QStringLiteral("Status"), Qt::ToolTipRole),
             QStringLiteral("FAT chain cleared: read as consecutive clusters"));
    QCOMPARE(Cell(QStringLiteral("Overwritten.bin"), QStringLiteral("Status")), QStringLiteral("Poor"));
    QCOMPARE(Cell(QStringLiteral("README.TXT"), QStringLiteral("Status")), QStringLiteral("Existing"));
    QVERIFY(Row(QString::fromUtf8("Ünïcödé € 𝄞.txt")) >= 0);
  }
};

QTEST_MAIN(ExFatVolumeTest)
#include "test_exfat_volume.moc"
