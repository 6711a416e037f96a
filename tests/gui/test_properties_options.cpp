// The properties sheet, the options sheet, the language files and the about box, driven
// through the real widgets: a deleted FAT file's properties, the page's attribute boxes and
// folder case, a language file changing the status words and the page's texts, the options'
// validation, what OK and Apply store and write (never the language), the replacement
// character's effect on folders read afterwards, and the shipped language files.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <blkid/blkid.h>
#include <ctime>
#include <libraw/libraw.h>
#include <map>
#include <memory>
#include <set>

#include "app/App.h"
#include "app/Document.h"
#include "settings/Language.h"
#include "settings/Settings.h"
#include "platform/Profile.h"
#include "support/Fixtures.h"
#include "support/GuiTest.h"
#include "tree/DirEntry.h"
#include "ui/AboutBox.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"
#include "ui/OptionsDlg.h"
#include "ui/PropertiesDlg.h"
#include "ui/TranslateDialog.h"

namespace {

const QString kShippedLanguageDir = QStringLiteral(QUARROW_FIXTURE_DIR "/../../Language");

CDirEntry* Child(CDirectory* folder, const std::u16string& name) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, false);
  for (auto& child : folder->m_children)
    if (child && child->m_strName == name) return child.get();
  return nullptr;
}

QString Field(QWidget* page, const char* name) {
  auto* edit = page->findChild<QLineEdit*>(QString::fromLatin1(name));
  return edit ? edit->text() : QStringLiteral("<no field %1>").arg(QString::fromLatin1(name));
}

QString Text(QWidget* page, const char* name) {
  QWidget* w = page->findChild<QWidget*>(QString::fromLatin1(name));
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  return QStringLiteral("<no control %1>").arg(QString::fromLatin1(name));
}

bool Checked(QWidget* page, const char* name) {
  auto* box = page->findChild<QCheckBox*>(QString::fromLatin1(name));
  return box && box->isChecked();
}

QImage IconImage(QWidget* page) {
  auto* label = page->findChild<QLabel*>(QStringLiteral("icon"));
  return label ? label->pixmap().toImage().convertToFormat(QImage::Format_ARGB32) : QImage();
}

QImage ImageOf(const QIcon& icon) { return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32); }

bool WriteText(const QString& path, const QByteArray& text) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

// A folder node with no file system behind it.
class CPlainFolder : public CDirectory {
 public:
  bool HasSubfolders(bool) override { return false; }
  void LoadChildren(bool, bool, bool) override { m_bLoaded = true; }
};

// The status column of a list model.
int StatusColumn(const CFSListModel& model) {
  for (int c = 0; c < model.columnCount(); ++c)
    if (model.ColumnKey(c) == EListColumn::Status) return c;
  return -1;
}

QString StatusInList(const CFSListModel& model, const QString& name, int role = Qt::DisplayRole) {
  int status = StatusColumn(model);
  for (int r = 0; r < model.rowCount(); ++r)
    if (model.data(model.index(r, 0), Qt::DisplayRole).toString() == name)
      return model.data(model.index(r, status), role).toString();
  return QStringLiteral("<no row %1>").arg(name);
}

}  // namespace

class TestPropertiesOptions : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_config;
  QTemporaryDir m_noLanguage;  // an empty folder: every text is the built-in one

  static std::string SettingsFile() { return SettingsFilePath(); }

  static std::unique_ptr<CKelvoDoc> Fat16() {
    return MakeImageDocument({QString::fromStdString(FixturePath("fat16.img"))});
  }

 private slots:
  void initTestCase() {
    QVERIFY(m_config.isValid() && m_noLanguage.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    // The fixture times are 2023-11-14 22:13:20 UTC: shown in UTC here.
    qputenv("TZ", "UTC");
    tzset();
    SetFolderTypeName(u"File Folder");
  }

  void cleanup() {
    ChooseLanguageFile(LANG_ENGLISH, m_noLanguage.path().toStdString() + "/");
    TheApp().m_settings = CSettings{};
    QFile::remove(QString::fromStdString(SettingsFile()));
  }

  // The Properties command's sheet for a deleted FAT file: every field, the marked icon,
  // the attribute boxes that cannot be changed, OK and Help only.
  void deletedFatFileProperties() {
    auto doc = Fat16();
    CLogicalDriver* volume = doc->Volumes().front().get();
    CDirEntry* node = Child(volume->m_pRoot, u"Holiday photo.jpg");
    QVERIFY(node && node->m_bDeleted);
    QCOMPARE(volume->m_nBytesPerCluster, 2048u);

    std::map<QString, QString> seen;
    QStringList helpSeen;
    bool readOnlyAfterClick = true;
    QImage icon;
    WhenModalShown([](QWidget* w) { return w->objectName() == QStringLiteral("propertiesSheet"); },
                   [&](QWidget* w) {
                     auto* sheet = static_cast<CFilePropertySheet*>(w);
                     QWidget* page = sheet->findChild<CFilePropertyPage*>();
                     for (const char* name : {"itemName", "type", "status", "location", "size", "sizeOnDisk",
                                              "created", "modified", "accessed"})
                       seen[QString::fromLatin1(name)] = Field(page, name);
                     seen[QStringLiteral("title")] = sheet->windowTitle();
                     seen[QStringLiteral("tabs")] = QString::number(sheet->Tabs()->count());
                     seen[QStringLiteral("tab")] = sheet->Tabs()->tabText(0);
                     auto* box = sheet->findChild<QDialogButtonBox*>();
                     seen[QStringLiteral("buttons")] =
                         QString::number(int(box->standardButtons()), 16);
                     seen[QStringLiteral("attributes")] = QStringLiteral("%1%2%3")
                                                              .arg(Checked(page, "archive") ? 'A' : '-')
                                                              .arg(Checked(page, "hidden") ? 'H' : '-')
                                                              .arg(Checked(page, "readOnly") ? 'R' : '-');
                     icon = IconImage(page);
                     SaveScreenshot(sheet, QStringLiteral("properties_sheet"));
                     // The page only displays: a click leaves a box as it was.
                     auto* readOnly = page->findChild<QCheckBox*>(QStringLiteral("readOnly"));
                     readOnly->click();
                     QTest::keyClick(readOnly, Qt::Key_Space);
                     readOnlyAfterClick = readOnly->isChecked();
                     {
                       CMessageBoxAnswerer answer({QStringLiteral("OK")});
                       sheet->Button(CFilePropertySheet::ButtonHelp)->click();
                       helpSeen = answer.Seen();
                     }
                     sheet->Button(CFilePropertySheet::ButtonOk)->click();
                   },
                   30000);
    ShowPropertiesDialog(nullptr, node);

    QCOMPARE(seen[QStringLiteral("title")], QStringLiteral("Properties"));
    QCOMPARE(seen[QStringLiteral("tabs")], QStringLiteral("1"));
    QCOMPARE(seen[QStringLiteral("tab")], QStringLiteral("General"));
    QCOMPARE(seen[QStringLiteral("buttons")],
             QString::number(int(QDialogButtonBox::Ok | QDialogButtonBox::Help), 16));
    QCOMPARE(seen[QStringLiteral("itemName")], QStringLiteral("Holiday photo.jpg"));
    QCOMPARE(seen[QStringLiteral("type")], QStringLiteral("jpg"));
    QCOMPARE(seen[QStringLiteral("status")], QStringLiteral("Excellent"));
    QCOMPARE(seen[QStringLiteral("location")], Q(volume->m_strRootText) + QStringLiteral("/"));
    QVERIFY(seen[QStringLiteral("location")].contains(QStringLiteral("fat16.img")));
    QCOMPARE(seen[QStringLiteral("size")], QStringLiteral("68 KB (70000 Bytes)"));
    QCOMPARE(seen[QStringLiteral("sizeOnDisk")], QStringLiteral("70 KB (71680 Bytes)"));
    QCOMPARE(seen[QStringLiteral("modified")], QStringLiteral("2023/11/14 22:13:20"));
    QCOMPARE(seen[QStringLiteral("accessed")], QStringLiteral("2023/11/14"));  // a date alone off NTFS
    QCOMPARE(seen[QStringLiteral("attributes")], QStringLiteral("A--"));
    QVERIFY(!readOnlyAfterClick);
    QCOMPARE(helpSeen.size(), 1);
    QVERIFY(helpSeen.front().contains(QStringLiteral("Excellent")));
    // The deleted mark is on the file's icon.
    QCOMPARE(icon, ImageOf(icons::Deleted(icons::ForFileName(QStringLiteral("Holiday photo.jpg")))));
    QVERIFY(icon != ImageOf(icons::ForFileName(QStringLiteral("Holiday photo.jpg"))));
  }

  // Attribute bits to boxes, sizes with their byte counts, a folder's empty sizes and icon,
  // and no sheet at all without a node.
  void attributesSizesAndFolders() {
    struct Row {
      uint32_t attributes;
      const char* boxes;  // archive, hidden, read only
    };
    for (Row row : {Row{0x21, "A-R"}, Row{0x02, "-H-"}, Row{0x00, "---"}, Row{0x27, "AHR"}}) {
      CDirEntry node;
      node.m_strName = u"notes.txt";
      node.m_strExtension = u"txt";
      node.m_nSize = 1000;
      node.m_nAllocatedSize = 4096;
      node.m_dwAttributes = row.attributes;
      node.m_nStatus = STATUS_GOOD;
      std::unique_ptr<CFilePropertySheet> sheet(CreatePropertiesDialog(nullptr, &node));
      QWidget* page = sheet->findChild<CFilePropertyPage*>();
      QString boxes = QStringLiteral("%1%2%3")
                          .arg(Checked(page, "archive") ? 'A' : '-')
                          .arg(Checked(page, "hidden") ? 'H' : '-')
                          .arg(Checked(page, "readOnly") ? 'R' : '-');
      QCOMPARE(boxes, QString::fromLatin1(row.boxes));
      QCOMPARE(Field(page, "size"), QStringLiteral("1 KB (1000 Bytes)"));
      QCOMPARE(Field(page, "sizeOnDisk"), QStringLiteral("4 KB (4096 Bytes)"));
      QCOMPARE(Field(page, "status"), QStringLiteral("Good"));
      QCOMPARE(IconImage(page), ImageOf(icons::ForFileName(QStringLiteral("notes.txt"))));  // not deleted: no mark
    }

    CPlainFolder folder;
    folder.m_strName = u"Docs";
    folder.m_nSize = 4096;
    folder.m_nAllocatedSize = 4096;
    folder.m_bDeleted = true;
    std::unique_ptr<CFilePropertySheet> sheet(CreatePropertiesDialog(nullptr, &folder));
    QWidget* page = sheet->findChild<CFilePropertyPage*>();
    QCOMPARE(Field(page, "size"), QString());
    QCOMPARE(Field(page, "sizeOnDisk"), QString());
    QCOMPARE(Field(page, "type"), QStringLiteral("File Folder"));
    QCOMPARE(IconImage(page), ImageOf(icons::Deleted(icons::Folder())));

    QVERIFY(CreatePropertiesDialog(nullptr, nullptr) == nullptr);
    ShowPropertiesDialog(nullptr, nullptr);  // returns at once
  }

  // A language file changes the status words of the list and the page, the byte word, and
  // the page's caption, check boxes and labels; the data fields stay data.
  void languageFileChangesTexts() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.path() + QStringLiteral("/french.ini");
    QVERIFY(WriteText(file, QByteArray("[String]\n"
                                       "IDS_FILE_PROERITIES_STATUS_EXCELLENT=Excellente\n"
                                       "IDS_FILE_PROERITIES_STATUS_GOOD=Bonne\n"
                                       "IDS_FILE_PROERITIES_STATUS_POOR=Faible\n"
                                       "IDS_FILE_PROERITIES_BYTES=octets\n"
                                       "IDD153_Title=G\xC3\xA9n\xC3\xA9ral\n"
                                       "IDD153_1014=Lecture seule(&L)\n"
                                       "IDD153_1015=Cach\xC3\xA9\\n(&C)\n"
                                       "IDD153_1016=\n"
                                       "IDD153_65535=\xC3\x89tiquette\n"
                                       "IDD153_13153=not a status\n")));

    auto doc = Fat16();
    CDirectory* root = doc->Volumes().front()->m_pRoot;
    CDirEntry* photo = Child(root, u"Holiday photo.jpg");
    QVERIFY(photo && Child(root, u"_ORN.JPG"));
    CFSListModel model(false, true);
    model.ShowFolder(root);
    QCOMPARE(StatusInList(model, QStringLiteral("Holiday photo.jpg")), QStringLiteral("Excellent"));
    QCOMPARE(StatusInList(model, QStringLiteral("_ORN.JPG")), QStringLiteral("Poor"));
    // The word's reason is the status cell's tooltip and a line under the word in Properties.
    QCOMPARE(StatusInList(model, QStringLiteral("_ORN.JPG"), Qt::ToolTipRole),
             QString::fromStdU16String(StatusReasonText(StatusReason::ClusterInUse)));
    QCOMPARE(StatusInList(model, QStringLiteral("Holiday photo.jpg"), Qt::ToolTipRole),
             QString::fromStdU16String(StatusReasonText(StatusReason::HeaderMatches)));
    {
      std::unique_ptr<CFilePropertySheet> torn(CreatePropertiesDialog(nullptr, Child(root, u"_ORN.JPG")));
      QCOMPARE(Text(torn->findChild<CFilePropertyPage*>(), "statusReason"),
               QString::fromStdU16String(StatusReasonText(StatusReason::ClusterInUse)));
    }

    ChooseLanguageFile(LANG_FRENCH, dir.path().toStdString() + "/");
    QCOMPARE(QString::fromStdString(LanguageFilePath()), file);
    QCOMPARE(StatusInList(model, QStringLiteral("Holiday photo.jpg")), QStringLiteral("Excellente"));
    QCOMPARE(StatusInList(model, QStringLiteral("_ORN.JPG")), QStringLiteral("Faible"));

    std::unique_ptr<CFilePropertySheet> sheet(CreatePropertiesDialog(nullptr, photo));
    QWidget* page = sheet->findChild<CFilePropertyPage*>();
    QCOMPARE(sheet->Tabs()->tabText(0), QStringLiteral("Général"));
    QCOMPARE(Field(page, "status"), QStringLiteral("Excellente"));  // IDD153_13153 names a data field
    QCOMPARE(Field(page, "size"), QStringLiteral("68 KB (70000 octets)"));
    QCOMPARE(Text(page, "readOnly"), QStringLiteral("Lecture seule(&L)"));
    QCOMPARE(Text(page, "hidden"), QStringLiteral("Caché\\n(&C)"));  // dialog texts are taken as written
    QCOMPARE(Text(page, "archive"), QStringLiteral("&Archive"));  // an empty value keeps the text
    QCOMPARE(Text(page, "statusLabel"), QStringLiteral("Étiquette"));
    QCOMPARE(Text(page, "attributesLabel"), QStringLiteral("Étiquette"));
    QCOMPARE(sheet->windowTitle(), QStringLiteral("Properties"));

    // Another dialog id leaves the page alone.
    sheet.reset(CreatePropertiesDialog(nullptr, photo));
    page = sheet->findChild<CFilePropertyPage*>();
    QCOMPARE(Text(page, "readOnly"), QStringLiteral("Lecture seule(&L)"));
    auto* other = new QLabel(QStringLiteral("Read only(&R)"));
    SetControlId(other, 1014);
    QWidget host;
    other->setParent(&host);
    TranslateDialog(&host, 166);
    QCOMPARE(other->text(), QStringLiteral("Read only(&R)"));
  }

  // The preview limit takes 1 to 50; anything else is refused with a message and nothing
  // is stored or written. The page cannot be left with a refused value.
  void optionsValidation() {
    struct Row {
      QString text;
      QString message;  // empty: accepted
    };
    const QString range = QStringLiteral("Please enter an integer between 1 and 50.");
    for (const Row& row : {Row{QStringLiteral("0"), range}, Row{QStringLiteral("51"), range},
                           Row{QStringLiteral("4294967297"), QStringLiteral("Please enter an integer.")},
                           Row{QStringLiteral("abc"), QStringLiteral("Please enter an integer.")},
                           Row{QString(), QStringLiteral("Please enter an integer.")}, Row{QStringLiteral("50"), {}},
                           Row{QStringLiteral("1"), {}}}) {
      cleanup();
      COptionsSheet sheet;
      sheet.show();
      sheet.GeneralPage()->PreviewLimitEdit()->setText(row.text);
      CMessageBoxAnswerer answer({QStringLiteral("OK")});
      sheet.Button(CFilePropertySheet::ButtonOk)->click();
      if (row.message.isEmpty()) {
        QVERIFY2(answer.Seen().isEmpty(), qPrintable(row.text));
        QVERIFY(!sheet.isVisible());
        QCOMPARE(TheApp().m_settings.PreviewLargeFile, row.text.toUInt());
        CSettings back;
        LoadSettings(back);
        QCOMPARE(back.PreviewLargeFile, row.text.toUInt());
      } else {
        QCOMPARE(answer.Seen(), QStringList{row.message});
        QVERIFY2(sheet.isVisible(), qPrintable(row.text));
        QCOMPARE(TheApp().m_settings.PreviewLargeFile, 10u);
        QVERIFY(!QFile::exists(QString::fromStdString(SettingsFile())));
      }
    }

    cleanup();
    COptionsSheet sheet;
    sheet.show();
    sheet.GeneralPage()->PreviewLimitEdit()->setText(QStringLiteral("0"));
    {
      CMessageBoxAnswerer answer({QStringLiteral("OK")});
      sheet.Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
      QCOMPARE(answer.Seen(), QStringList{range});
    }
    QCOMPARE(sheet.Tabs()->currentIndex(), int(COptionsSheet::PageGeneral));
    QVERIFY(!sheet.LangPage()->IsOpened());
    // The deleted character holds one character at most.
    sheet.GeneralPage()->DeletedCharEdit()->setText(QStringLiteral("ab"));
    QCOMPARE(sheet.GeneralPage()->DeletedCharEdit()->text(), QStringLiteral("a"));

    // A limit out of range read from the settings file is refused at OK as well.
    cleanup();
    TheApp().m_settings.PreviewLargeFile = 80;
    COptionsSheet fromFile;
    fromFile.show();
    {
      CMessageBoxAnswerer answer({QStringLiteral("OK")});
      fromFile.Button(CFilePropertySheet::ButtonOk)->click();
      QCOMPARE(answer.Seen(), QStringList{range});
    }
    QVERIFY(fromFile.isVisible());
    QVERIFY(!QFile::exists(QString::fromStdString(SettingsFile())));
  }

  // OK stores both pages' values and writes every setting but Language; the replacement
  // character applies to folders read afterwards.
  void okWritesSettingsButNeverLanguage() {
    const std::string file = SettingsFile();
    QVERIFY(profile::WriteString(file, "Settings", "Language", "12"));
    LoadSettings(TheApp().m_settings);
    QCOMPARE(TheApp().m_settings.Language, 12);

    {
      COptionsSheet sheet;
      sheet.show();
      COptionsGeneralPage* general = sheet.GeneralPage();
      general->findChild<QCheckBox*>(QStringLiteral("autoUpdate"))->click();
      general->findChild<QCheckBox*>(QStringLiteral("scanDir"))->click();
      general->findChild<QCheckBox*>(QStringLiteral("deepScanWizard"))->click();
      general->findChild<QCheckBox*>(QStringLiteral("recoveryWizard"))->click();
      general->DeletedCharEdit()->setText(QStringLiteral("#"));
      general->PreviewLimitEdit()->setText(QStringLiteral("25"));
      sheet.Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
      QCOMPARE(sheet.LangPage()->List()->currentText(), QStringLiteral("English"));
      CMessageBoxAnswerer none({});
      sheet.Button(CFilePropertySheet::ButtonOk)->click();
      QVERIFY(none.Seen().isEmpty());
      QCOMPARE(sheet.result(), int(QDialog::Accepted));
    }
    CSettings back;
    LoadSettings(back, file);
    QCOMPARE(back.AutoUpdate, 1u);
    QCOMPARE(back.ReplaceChar, u'#');
    QCOMPARE(back.ScanDir, 1u);
    QCOMPARE(back.DeepScanWizard, 0u);
    QCOMPARE(back.PreviewLargeFile, 25u);
    QCOMPARE(back.RecoveryWizard, 0u);
    QCOMPARE(back.Language, 12);                            // the file's value: nothing was chosen
    QCOMPARE(TheApp().m_settings.Language, int(LANG_ENGLISH));  // the language shown, for this run
    QCOMPARE(TheApp().m_settings.ReplaceChar, u'#');

    // Folders read from now on take the new character.
    {
      auto doc = Fat16();
      QVERIFY(Child(doc->Volumes().front()->m_pRoot, u"#ORN.JPG"));
    }

    // OK without opening the Language page: the page's initial value; an empty deleted
    // character is stored as none and read back as the default.
    {
      COptionsSheet sheet;
      sheet.show();
      sheet.GeneralPage()->DeletedCharEdit()->clear();
      sheet.Button(CFilePropertySheet::ButtonOk)->click();
    }
    QCOMPARE(TheApp().m_settings.Language, -1);
    QCOMPARE(TheApp().m_settings.ReplaceChar, char16_t(0));
    QCOMPARE(profile::Read(file, "Settings", "ReplaceChar").value_or("<absent>"), std::string());
    QCOMPARE(profile::Read(file, "Settings", "Language").value_or("<absent>"), std::string("12"));
    LoadSettings(back, file);
    QCOMPARE(back.ReplaceChar, u'_');
    {
      // For the rest of the run a deleted short name begins with the character 0.
      auto doc = Fat16();
      CDirEntry* torn = nullptr;
      CDirectory* root = doc->Volumes().front()->m_pRoot;
      root->LoadChildren(true, false, false);
      for (auto& c : root->m_children)
        if (c->m_strName.size() == 8 && c->m_strName.substr(1) == u"ORN.JPG") torn = c.get();
      QVERIFY(torn);
      QCOMPARE(int(torn->m_strName[0]), 0);
    }

    // Cancel stores nothing.
    {
      COptionsSheet sheet;
      sheet.show();
      sheet.GeneralPage()->PreviewLimitEdit()->setText(QStringLiteral("7"));
      sheet.Button(CFilePropertySheet::ButtonCancel)->click();
    }
    QCOMPARE(TheApp().m_settings.PreviewLargeFile, 25u);
    LoadSettings(back, file);
    QCOMPARE(back.PreviewLargeFile, 25u);
  }

  // Apply stores the shown page's values and writes every setting at once; the dialog stays.
  void applyStoresAndWritesAtOnce() {
    const std::string file = SettingsFile();
    COptionsSheet sheet;
    sheet.show();
    QPushButton* apply = sheet.Button(CFilePropertySheet::ButtonApply);
    QVERIFY(!apply->isEnabled());
    sheet.GeneralPage()->findChild<QCheckBox*>(QStringLiteral("autoUpdate"))->click();
    sheet.GeneralPage()->PreviewLimitEdit()->setText(QStringLiteral("30"));
    QVERIFY(apply->isEnabled());
    apply->click();
    QVERIFY(sheet.isVisible());
    QVERIFY(!apply->isEnabled());
    QCOMPARE(TheApp().m_settings.AutoUpdate, 1u);
    for (const char* key : {"AutoUpdate", "ReplaceChar", "ScanDir", "RecoveryWizard", "DeepScanWizard",
                            "PreviewLargeFile"})
      QVERIFY2(profile::Read(file, "Settings", key).has_value(), key);
    QVERIFY(!profile::Read(file, "Settings", "Language").has_value());
    CSettings back;
    LoadSettings(back, file);
    QCOMPARE(back.AutoUpdate, 1u);
    QCOMPARE(back.PreviewLargeFile, 30u);
    QCOMPARE(back.ReplaceChar, u'_');

    // A refused value is not applied.
    sheet.GeneralPage()->PreviewLimitEdit()->setText(QStringLiteral("51"));
    {
      CMessageBoxAnswerer answer({QStringLiteral("OK")});
      apply->click();
      QCOMPARE(answer.Seen().size(), 1);
    }
    LoadSettings(back, file);
    QCOMPARE(back.PreviewLargeFile, 30u);
    QCOMPARE(TheApp().m_settings.PreviewLargeFile, 30u);
    sheet.GeneralPage()->PreviewLimitEdit()->setText(QStringLiteral("30"));

    // On the Language page Apply takes the language shown, in memory only while the user
    // chose none.
    sheet.Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
    QVERIFY(sheet.Apply());
    QCOMPARE(TheApp().m_settings.Language, int(LANG_ENGLISH));
    QVERIFY(!profile::Read(file, "Settings", "Language").has_value());
  }

  // The language list offers every language file of the folder by its own name, the one in
  // use selected; a language the user picks is written for the next start.
  void languageListShowsEveryFile() {
    const std::string dir = QDir(kShippedLanguageDir).absolutePath().toStdString() + "/";
    ChooseLanguageFile(LANG_FRENCH, dir);
    const std::string file = SettingsFile();
    {
      COptionsSheet sheet;
      sheet.Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
      QComboBox* list = sheet.LangPage()->List();
      QStringList names;
      for (int i = 0; i < list->count(); ++i) names << list->itemText(i);
      QCOMPARE(names, (QStringList{"English", "Français", "Deutsch", "Español"}));
      QCOMPARE(list->currentText(), QStringLiteral("Français"));
      list->setCurrentIndex(2);
      emit list->activated(2);
      CMessageBoxAnswerer none({});
      sheet.Button(CFilePropertySheet::ButtonOk)->click();
      QVERIFY(none.Seen().isEmpty());
    }
    QCOMPARE(TheApp().m_settings.Language, int(LANG_GERMAN));
    QCOMPARE(profile::Read(file, "Settings", "Language").value_or(""), std::to_string(LANG_GERMAN));
    // The next start reads it and picks the German file.
    CSettings next;
    LoadSettings(next, file);
    ChooseLanguageFile(next.Language, dir);
    QCOMPARE(LanguageFilePath(), dir + "german.ini");
    ChooseLanguageFile(LANG_ENGLISH, m_noLanguage.path().toStdString() + "/");
  }

  // The Options command's window, both pages, OK and Cancel; the about box.
  void entryPointsAndScreenshots() {
    QString note, language;
    WhenModalShown([](QWidget* w) { return w->objectName() == QStringLiteral("optionsSheet"); },
                   [&](QWidget* w) {
                     auto* sheet = static_cast<COptionsSheet*>(w);
                     SaveScreenshot(sheet, QStringLiteral("options_general"));
                     sheet->Tabs()->setCurrentIndex(COptionsSheet::PageLanguage);
                     language = sheet->LangPage()->List()->currentText();
                     note = sheet->LangPage()->findChild<QLabel*>(QStringLiteral("restartNote"))->text();
                     SaveScreenshot(sheet, QStringLiteral("options_language"));
                     sheet->Button(CFilePropertySheet::ButtonOk)->click();
                   },
                   30000);
    QVERIFY(RunOptionsDialog(nullptr));
    QCOMPARE(language, QStringLiteral("English"));
    QCOMPARE(note, QStringLiteral("NOTE: After you have changed the interface language, the program must be restarted."));
    QVERIFY(QFile::exists(QString::fromStdString(SettingsFile())));

    cleanup();
    WhenModalShown([](QWidget* w) { return w->objectName() == QStringLiteral("optionsSheet"); },
                   [](QWidget* w) { static_cast<COptionsSheet*>(w)->Button(CFilePropertySheet::ButtonCancel)->click(); },
                   30000);
    QVERIFY(!RunOptionsDialog(nullptr));
    QVERIFY(!QFile::exists(QString::fromStdString(SettingsFile())));

    QString version, licence, libraries;
    bool hasIcon = false;
    WhenModalShown([](QWidget* w) { return w->objectName() == QStringLiteral("aboutBox"); },
                   [&](QWidget* w) {
                     version = w->findChild<QLabel*>(QStringLiteral("version"))->text();
                     licence = w->findChild<QLabel*>(QStringLiteral("licence"))->text();
                     libraries = w->findChild<QLabel*>(QStringLiteral("libraries"))->text();
                     hasIcon = !w->findChild<QLabel*>(QStringLiteral("programIcon"))->pixmap().isNull();
                     SaveScreenshot(w, QStringLiteral("about_box"));
                     w->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
                   },
                   30000);
    ShowAboutBox(nullptr);
    // The version the build gives, the licence, and the libraries as loaded now.
    QCOMPARE(version, QStringLiteral("Tarnwell Quarrow Version " QUARROW_VERSION));
    QVERIFY2(licence.startsWith(QStringLiteral("Licence: ")) && licence.size() > 9, qPrintable(licence));
    const char* blkid = nullptr;
    blkid_get_library_version(&blkid, nullptr);
    for (const QString& lib : {QStringLiteral("Qt ") + QString::fromLatin1(qVersion()),
                               QStringLiteral("LibRaw ") + QString::fromLatin1(libraw_version()),
                               QStringLiteral("libblkid ") + QString::fromLatin1(blkid)})
      QVERIFY2(libraries.contains(lib), qPrintable(libraries + QStringLiteral(" lacks ") + lib));
    QVERIFY(hasIcon);
  }

  // Every shipped language file is well-formed UTF-8 INI with the keys of english.ini, keeps
  // the placeholders, line breaks and mnemonics, and is the one chosen for its language.
  void shippedLanguageFiles() {
    const QStringList files = {QStringLiteral("english.ini"), QStringLiteral("french.ini"),
                               QStringLiteral("german.ini"), QStringLiteral("spanish.ini")};
    const std::string dir = QDir(kShippedLanguageDir).absolutePath().toStdString() + "/";
    const std::string english = dir + "english.ini";
    std::map<std::string, std::string> base;
    for (auto& [k, v] : profile::ReadSection(english, "String")) base[k] = v;
    for (const char* key : {"IDS_FILE_PROERITIES_STATUS_EXIST", "IDS_FILE_PROERITIES_STATUS_EXCELLENT",
                            "IDS_FILE_PROERITIES_STATUS_GOOD", "IDS_FILE_PROERITIES_STATUS_POOR",
                            "IDS_FILE_PROERITIES_BYTES", "IDS_FILE_OVERWRITE", "IDS_OK", "IDS_YES", "IDS_NO",
                            "IDS_YESTOALL", "IDD153_Title", "IDD153_1014", "IDD153_1015", "IDD153_1016"})
      QVERIFY2(base.count(key), key);
    // English is the program's own wording.
    QCOMPARE(base["IDS_FILE_PROERITIES_STATUS_POOR"], std::string("Poor"));
    QCOMPARE(base["IDS_FILE_OVERWRITE"], std::string("This folder already contains a file called '%s'.\\nWould "
                                                     "you like to replace the existing file?"));

    const QRegularExpression keyLine(QStringLiteral("^[A-Za-z0-9_]+=.*$"));
    for (const QString& name : files) {
      QFile f(QString::fromStdString(dir) + name);
      QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(name));
      QByteArray bytes = f.readAll();
      QStringDecoder utf8(QStringDecoder::Utf8);
      QString text = utf8.decode(bytes);
      QVERIFY2(!utf8.hasError(), qPrintable(name));
      int sections = 0;
      std::set<QString> keys;
      for (const QString& line : text.split(QLatin1Char('\n'))) {
        QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1Char(';'))) continue;
        if (t == QStringLiteral("[String]")) {
          ++sections;
          continue;
        }
        QVERIFY2(keyLine.match(t).hasMatch(), qPrintable(name + QStringLiteral(": ") + t));
        QVERIFY2(keys.insert(t.section(QLatin1Char('='), 0, 0).toUpper()).second, qPrintable(name + ": " + t));
      }
      QCOMPARE(sections, 1);

      std::map<std::string, std::string> values;
      for (auto& [k, v] : profile::ReadSection(dir + name.toStdString(), "String")) values[k] = v;
      QCOMPARE(values.size(), base.size());
      for (auto& [key, englishValue] : base) {
        QVERIFY2(values.count(key), qPrintable(name + QStringLiteral(": ") + QString::fromStdString(key)));
        QString v = QString::fromStdString(values[key]), e = QString::fromStdString(englishValue);
        QString what = name + QStringLiteral(": ") + QString::fromStdString(key);
        QCOMPARE(v.isEmpty(), e.isEmpty());
        QVERIFY2(v.count(QStringLiteral("%s")) == e.count(QStringLiteral("%s")), qPrintable(what));
        QVERIFY2(v.count(QStringLiteral("\\n")) == e.count(QStringLiteral("\\n")), qPrintable(what));
        QVERIFY2(v.count(QLatin1Char('&')) == e.count(QLatin1Char('&')), qPrintable(what));
        for (int n = 1; n <= 9; ++n)  // the numbered places the program fills in
          QVERIFY2(v.count(QStringLiteral("%%1").arg(n)) == e.count(QStringLiteral("%%1").arg(n)), qPrintable(what));
      }
      if (name != QStringLiteral("english.ini"))
        for (const char* key : {"IDS_FILE_PROERITIES_STATUS_EXIST", "IDS_FILE_PROERITIES_STATUS_GOOD",
                                "IDS_FILE_PROERITIES_STATUS_POOR", "IDS_FILE_OVERWRITE", "IDS_YES"})
          QVERIFY2(values[key] != base[key], qPrintable(name + QStringLiteral(": ") + key));
    }

    // The system's language picks its file; the lookup reads it.
    struct Pick {
      int language;
      const char* file;
    };
    for (Pick p : {Pick{0x0407, "german.ini"}, Pick{0x0C0A, "spanish.ini"}, Pick{0x040C, "french.ini"},
                   Pick{0x0411, "english.ini"}, Pick{LANG_ENGLISH, "english.ini"}}) {
      ChooseLanguageFile(p.language, dir);
      QCOMPARE(LanguageFilePath(), dir + p.file);
      std::string expected = profile::GetString(dir + p.file, "String", "IDS_FILE_PROERITIES_STATUS_GOOD", "");
      QCOMPARE(QString::fromStdU16String(GetString("IDS_FILE_PROERITIES_STATUS_GOOD", u"Good")),
               QString::fromStdString(expected));
    }
    ChooseLanguageFile(0x040C, dir);
    QString question = Q(GetString("IDS_FILE_OVERWRITE", u""));
    QCOMPARE(question.count(QLatin1Char('\n')), 1);
    QVERIFY(question.contains(QStringLiteral("'%s'")));
  }
};

QTEST_MAIN(TestPropertiesOptions)
#include "test_properties_options.moc"
