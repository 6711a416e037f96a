// The main view: the start page until a folder is shown, then the file list of the folder
// selected in the navigation tree.
#pragma once

#include <QStackedWidget>

class CDirectory;
class CFSListCtrl;
class CResultFilterBar;
class QTextBrowser;

class CKelvoView : public QStackedWidget {
  Q_OBJECT
 public:
  explicit CKelvoView(QWidget* parent = nullptr);

  CFSListCtrl* List() const { return m_pList; }
  // Shown above the list while it shows a results folder.
  CResultFilterBar* FilterBar() const { return m_pFilterBar; }
  QTextBrowser* StartPage() const { return m_pStartPage; }
  void ShowStartPage();
  void ShowList();
  bool IsListShown() const;

  // Shows the folder in the list: a volume's results folder as it was filled (and, when it
  // is not loaded, hands it to its LoadChildren, which offers the deep scan); any other
  // folder is loaded when needed and sorted by the first column.
  void ShowInList(CDirectory* folder);

 private:
  QTextBrowser* m_pStartPage;
  CFSListCtrl* m_pList;
  QWidget* m_pListPage;
  CResultFilterBar* m_pFilterBar;
};

// The start page file: Media/index.htm in the data folder (platform/DataDirectory.h), else
// the copy built in.
QString StartPagePath();
