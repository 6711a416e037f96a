// The "Options" sheet: the General page (the recovery, deep-scan, preview and start-up
// settings) and the Language page, with OK, Cancel, Apply and Help.
//
// OK stores both pages' values into the settings and writes them; Apply stores the values
// of the page shown and writes them at once; Cancel stores nothing more. The Language
// value is kept for the running program only: the settings file never receives it, and the
// language file is chosen at start-up.
#pragma once

#include "ui/PropertiesDlg.h"

struct CSettings;
class QCheckBox;
class QComboBox;
class QLineEdit;

// General (dialog 166).
class COptionsGeneralPage : public QWidget {
  Q_OBJECT
 public:
  explicit COptionsGeneralPage(QWidget* parent = nullptr);

  // Shows the settings' values (the replacement character as a text of one character,
  // empty for none).
  void Load(const CSettings& settings);
  // Whether the values may be stored. On refusal it shows why, in a message box, and puts
  // the focus on the edit at fault.
  bool Validate();
  // Why the values cannot be stored (and, in *at, the edit at fault); empty when they can.
  QString Problem(QLineEdit** at = nullptr) const;
  // Stores the values (after a successful Validate): the first character of the deleted
  // character text becomes ReplaceChar, 0 when the text is empty.
  void Store(CSettings& settings) const;

  QLineEdit* DeletedCharEdit() const { return m_pDeletedChar; }
  QLineEdit* PreviewLimitEdit() const { return m_pPreviewLimit; }

 signals:
  void Changed();

 private:
  QCheckBox* m_pAutoUpdate;
  QLineEdit* m_pDeletedChar;
  QLineEdit* m_pPreviewLimit;
  QCheckBox* m_pScanDir;
  QCheckBox* m_pDeepScanWizard;
  QCheckBox* m_pRecoveryWizard;
};

// Language (dialog 168).
class COptionsLangPage : public QWidget {
  Q_OBJECT
 public:
  explicit COptionsLangPage(QWidget* parent = nullptr);

  // The page is shown for the first time: the list holds every language file found in the
  // language folder, named by its IDS_LANGUAGE_NAME text, with the language in use selected.
  void Open(const CSettings& settings);
  bool IsOpened() const { return m_bOpened; }
  // The language id of the selected entry (0x07 German, 0x09 English, 0x0A Spanish, 0x0C
  // French: the primary language the language file is chosen by); -1 until the page was
  // opened.
  int Value() const;
  // Whether the user chose an entry (the choice is then written for the next start).
  bool ChosenByUser() const { return m_bChosen; }

  QComboBox* List() const { return m_pList; }

 signals:
  void Changed();

 private:
  QComboBox* m_pList;
  bool m_bOpened = false;
  bool m_bChosen = false;
};

class COptionsSheet : public CFilePropertySheet {
  Q_OBJECT
 public:
  enum Page : int { PageGeneral = 0, PageLanguage = 1 };

  explicit COptionsSheet(QWidget* parent = nullptr);

  COptionsGeneralPage* GeneralPage() const { return m_pGeneral; }
  COptionsLangPage* LangPage() const { return m_pLang; }

  // OK: validates, stores both pages' values into the application's settings, writes them
  // and closes. Stays open when the General page refuses its values.
  void accept() override;
  // Apply: validates and stores the shown page's values, writes the settings.
  bool Apply();

 private:
  void OnPageChanged(int index);
  void OnHelp();
  void SetModified(Page page, bool modified);
  // Writes the application's settings; a failure is reported. True when written.
  bool Save();

  COptionsGeneralPage* m_pGeneral;
  COptionsLangPage* m_pLang;
  int m_nCurrent = PageGeneral;
  bool m_bReverting = false;
  bool m_bModified[2] = {false, false};
};

// The Options command's window, modal. True when it was closed with OK.
bool RunOptionsDialog(QWidget* parent);
