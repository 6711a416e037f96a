// The "Find Lost Drives" dialogs: the disk list, the unit range with its sliders and fields,
// and the range that reaches the disk.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "ui/FindLostDlgs.h"

namespace {
QString Image(const char* name) { return QString::fromStdString(FixturePath(name)); }

CUnitSpinBox* Field(QWidget* dlg, const char* name) { return dlg->findChild<CUnitSpinBox*>(QLatin1String(name)); }
QSlider* Slider(QWidget* dlg, const char* name) { return dlg->findChild<QSlider*>(QLatin1String(name)); }
QString FieldText(QWidget* dlg, const char* name) { return Field(dlg, name)->text(); }
QString RangeLabel(QWidget* dlg) { return dlg->findChild<QLabel*>(QStringLiteral("rangeText"))->text(); }

// Replaces the field's text by typing, as the user does.
void Type(QWidget* dlg, const char* name, const QString& text) {
  auto* edit = Field(dlg, name)->findChild<QLineEdit*>();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClicks(edit, text);
}

void ClickOk(QWidget* dlg) {
  dlg->findChild<QDialogButtonBox*>(QStringLiteral("buttons"))->button(QDialogButtonBox::Ok)->click();
}

bool IsRangeDialog(QWidget* w) { return qobject_cast<CFindLostFilesDlg*>(w) != nullptr; }
}  // namespace

class TestFindLostDialogs : public QObject {
  Q_OBJECT
 private slots:
  // The disk table is process-wide: each test numbers its images from 0.
  void init() {}

  void rangeText_data() {
    QTest::addColumn<quint64>("start");
    QTest::addColumn<quint64>("end");
    QTest::addColumn<uint>("unitBytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("a million sectors") << quint64(0) << quint64(1000000) << 512u << "0-1000000(488Mb)";
    // A disk of 6,000,000,000 sectors (about 2.8 TiB): beyond 32-bit unit numbers.
    QTest::newRow("beyond 2^32 units") << quint64(0) << quint64(6000000000) << 512u << "0-6000000000(2929687Mb)";
    // Exactly 2^32 units, which wraps to 0 in 32 bits.
    QTest::newRow("2^32 units high up")
        << quint64(4294967296) << quint64(8589934591) << 512u << "4294967296-8589934591(2097152Mb)";
    // 16 TiB of 4 KiB clusters: the byte product passes 32 bits.
    QTest::newRow("large units") << quint64(0) << quint64(4294967295) << 4096u << "0-4294967295(16777216Mb)";
    QTest::newRow("end before start") << quint64(500) << quint64(400) << 512u << "500-400(0Mb)";
  }
  void rangeText() {
    QFETCH(quint64, start);
    QFETCH(quint64, end);
    QFETCH(uint, unitBytes);
    QFETCH(QString, text);
    QCOMPARE(CFindLostFilesDlg::RangeText(start, end, unitBytes), text);
  }

  void rangeDialogOpensOnWholeRange() {
    CFindLostFilesDlg dlg(0, 1000000, 512);
    dlg.show();
    QCOMPARE(FieldText(&dlg, "startEdit"), QStringLiteral("0"));
    QCOMPARE(FieldText(&dlg, "endEdit"), QStringLiteral("1000000"));
    QCOMPARE(RangeLabel(&dlg), QStringLiteral("0-1000000(488Mb)"));
    QCOMPARE(Slider(&dlg, "startSlider")->value(), 0);
    QCOMPARE(Slider(&dlg, "endSlider")->value(), Slider(&dlg, "endSlider")->maximum());
    SaveScreenshot(&dlg, QStringLiteral("find_lost_range"));
  }

  // Typing moves both sliders; the arrows move their own; a slider sets its field only when let
  // go, or at once for a keyboard move.
  void slidersAndFieldsFollowEachOther() {
    CFindLostFilesDlg dlg(0, 1000000, 512);
    dlg.show();
    QSlider* start = Slider(&dlg, "startSlider");
    QSlider* end = Slider(&dlg, "endSlider");

    Type(&dlg, "endEdit", QStringLiteral("500000"));
    QCOMPARE(end->value(), 500000);
    QCOMPARE(RangeLabel(&dlg), QStringLiteral("0-500000(244Mb)"));
    Type(&dlg, "startEdit", QStringLiteral("1000"));
    QCOMPARE(start->value(), 1000);
    QCOMPARE(end->value(), 500000);

    QTest::keyClick(Field(&dlg, "startEdit"), Qt::Key_Up);
    QCOMPARE(FieldText(&dlg, "startEdit"), QStringLiteral("1001"));
    QCOMPARE(start->value(), 1001);

    start->setSliderDown(true);
    start->setSliderPosition(250000);
    QCOMPARE(FieldText(&dlg, "startEdit"), QStringLiteral("1001"));  // not while dragging
    start->setSliderDown(false);
    QCOMPARE(FieldText(&dlg, "startEdit"), QStringLiteral("250000"));
    QCOMPARE(dlg.m_nStart, quint64(250000));
    QCOMPARE(RangeLabel(&dlg), QStringLiteral("250000-500000(122Mb)"));

    QTest::keyClick(end, Qt::Key_End);
    QCOMPARE(FieldText(&dlg, "endEdit"), QStringLiteral("1000000"));
    QCOMPARE(RangeLabel(&dlg), QStringLiteral("250000-1000000(366Mb)"));
  }

  // Beyond an int, the sliders stand for the range proportionally and both ends stay reachable.
  void slidersScaleBeyondIntRange() {
    const quint64 max = 6000000000;
    CFindLostFilesDlg dlg(0, max, 512);
    dlg.show();
    QSlider* end = Slider(&dlg, "endSlider");
    QCOMPARE(FieldText(&dlg, "endEdit"), QStringLiteral("6000000000"));
    QCOMPARE(end->value(), end->maximum());

    Type(&dlg, "endEdit", QStringLiteral("3000000000"));
    QCOMPARE(end->value(), end->maximum() / 2);
    QCOMPARE(dlg.m_nEnd, quint64(3000000000));

    end->setSliderDown(true);
    end->setSliderPosition(end->maximum() / 4);
    end->setSliderDown(false);
    QCOMPARE(FieldText(&dlg, "endEdit"), QStringLiteral("1500000000"));
    QTest::keyClick(end, Qt::Key_End);
    QCOMPARE(dlg.m_nEnd, max);
    QCOMPARE(RangeLabel(&dlg), QStringLiteral("0-6000000000(2929687Mb)"));

    // Every unit maps to a slider position that maps back near it, and the ends exactly.
    for (quint64 unit : {quint64(0), quint64(1), quint64(12345678901 % max), max / 3, max - 1, max}) {
      quint64 back = dlg.UnitFromSlider(dlg.SliderFromUnit(unit));
      QVERIFY2((back > unit ? back - unit : unit - back) <= max / quint64(dlg.SliderSteps()),
               qPrintable(QString::number(unit)));
    }
    QCOMPARE(dlg.UnitFromSlider(dlg.SliderSteps()), max);
    QCOMPARE(dlg.UnitFromSlider(0), quint64(0));
  }

  // OK with an end not after the start says so and keeps the dialog; Cancel then leaves the
  // disk's range alone.
  void okRefusesEndNotAfterStart() {
    auto doc = MakeImageDocument({Image("disk.img")});
    CPhysicalDriver* disk = doc->Disks().at(0).get();
    disk->m_nFirstUnit = 7;
    disk->m_nLastUnit = 9;
    bool stayed = false;
    QStringList seen;
    WhenModalShown(IsRangeDialog, [&](QWidget* dlg) {
      CMessageBoxAnswerer answers({QStringLiteral("OK")});
      Type(dlg, "startEdit", QStringLiteral("500"));
      Type(dlg, "endEdit", QStringLiteral("500"));
      ClickOk(dlg);
      seen = answers.Seen();
      stayed = dlg->isVisible();
      static_cast<QDialog*>(dlg)->reject();
    });
    QVERIFY(!AskFindLostRange(nullptr, disk));
    QCOMPARE(seen, QStringList{QStringLiteral("The end cluster cannot be less than the start cluster.")});
    QVERIFY(stayed);
    QCOMPARE(disk->m_nFirstUnit, quint64(7));
    QCOMPARE(disk->m_nLastUnit, quint64(9));
  }

  // The chosen end sector is scanned: the disk's last unit (exclusive) is one past it, and the
  // whole range offered ends at the sector count.
  void rangeReachesDisk_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<quint64>("first");
    QTest::addColumn<qint64>("last");  // -1: the sector count
    QTest::newRow("typed") << "2048" << "10239" << quint64(2048) << qint64(10240);
    QTest::newRow("as offered") << "" << "" << quint64(0) << qint64(-1);
    QTest::newRow("end at the last sector") << "100" << "163839" << quint64(100) << qint64(163840);
  }
  void rangeReachesDisk() {
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(quint64, first);
    QFETCH(qint64, last);
    auto doc = MakeImageDocument({Image("disk.img")});
    CPhysicalDriver* disk = doc->Disks().at(0).get();
    QCOMPARE(disk->m_nClusterCount, quint64(163840));  // 80 MiB
    WhenModalShown(IsRangeDialog, [&](QWidget* dlg) {
      if (!start.isEmpty()) Type(dlg, "startEdit", start);
      if (!end.isEmpty()) Type(dlg, "endEdit", end);
      ClickOk(dlg);
      if (dlg->isVisible()) static_cast<QDialog*>(dlg)->reject();
    });
    QVERIFY(AskFindLostRange(nullptr, disk));
    QCOMPARE(disk->m_nFirstUnit, first);
    QCOMPARE(disk->m_nLastUnit, last < 0 ? disk->m_nClusterCount : quint64(last));
  }

  void diskDialogListsDisks() {
    auto doc = MakeImageDocument({Image("fat12.img"), Image("disk.img")});
    QCOMPARE(doc->Disks().size(), size_t(2));
    CFindLostDriversDlg dlg(*doc);
    dlg.show();
    auto* combo = dlg.findChild<QComboBox*>(QStringLiteral("disks"));
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->currentIndex(), 0);
    const CPhysicalDriver& second = *doc->Disks()[1];
    QCOMPARE(combo->itemText(1), QStringLiteral("%1: disk.img (80 MB)").arg(second.m_nDevice));
    SaveScreenshot(&dlg, QStringLiteral("find_lost_disks"));

    combo->setCurrentIndex(1);
    ClickOk(&dlg);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.SelectedDisk(), doc->Disks()[1].get());

    // The disk selected in the tree is chosen when the dialog opens.
    CFindLostDriversDlg preselected(*doc, nullptr, doc->Disks()[1].get());
    QCOMPARE(preselected.findChild<QComboBox*>(QStringLiteral("disks"))->currentIndex(), 1);
  }

  void diskDialogWithoutDisksStays() {
    auto doc = MakeImageDocument({});
    CFindLostDriversDlg dlg(*doc);
    dlg.show();
    ClickOk(&dlg);
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.SelectedDisk());
  }
};

QTEST_MAIN(TestFindLostDialogs)
#include "test_find_lost_dialogs.moc"
