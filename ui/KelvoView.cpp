#include "ui/KelvoView.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>

#include "device/Driver.h"
#include "platform/DataDirectory.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"

static void InitResources() { Q_INIT_RESOURCE(resources); }

QString StartPagePath() {
  InitResources();
  QString onDisk = QString::fromStdString(datadir::DataDirectory()) + QStringLiteral("/Media/index.htm");
  if (QFileInfo::exists(onDisk)) return onDisk;
  return QStringLiteral(":/Media/index.htm");
}

CKelvoView::CKelvoView(QWidget* parent)
    : QStackedWidget(parent), m_pStartPage(new QTextBrowser(this)), m_pList(new CFSListCtrl(false, true, this)) {
  setObjectName(QStringLiteral("mainView"));
  m_pStartPage->setObjectName(QStringLiteral("startPage"));
  m_pStartPage->setOpenExternalLinks(true);
  QString page = StartPagePath();
  m_pStartPage->setSource(page.startsWith(QLatin1Char(':')) ? QUrl(QStringLiteral("qrc") + page)
                                                            : QUrl::fromLocalFile(page));
  m_pList->setObjectName(QStringLiteral("fileList"));
  m_pList->RememberColumnsAs("FileListColumns");
  addWidget(m_pStartPage);
  addWidget(m_pList);
  ShowStartPage();
  GuiApp().m_pView = this;

  SetFolderChangeListener({
      [this](CDirectory* f) { m_pList->Model()->BeginLive(f); },
      [this](CDirectory* f) { m_pList->Model()->EndLive(f); },
      [this](CDirectory* f) { m_pList->Model()->Grow(f); },
  });
}

void CKelvoView::ShowStartPage() { setCurrentWidget(m_pStartPage); }
void CKelvoView::ShowList() { setCurrentWidget(m_pList); }
bool CKelvoView::IsListShown() const { return currentWidget() == m_pList; }

void CKelvoView::ShowInList(CDirectory* folder) {
  CFSListModel* model = m_pList->Model();
  if (!folder) {
    model->Clear();
    return;
  }
  bool lostFolder = folder->m_pDriver && folder == folder->m_pDriver->m_pLostFolder;
  if (lostFolder) {
    model->ShowFolder(folder, false);
    if (!folder->m_bLoaded) {
      folder->LoadChildren(true, false, false);  // the deep scan wizard
      model->ShowFolder(folder, false);
    }
    return;
  }
  if (!folder->m_bLoaded) {
    model->Clear();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    folder->LoadChildren(true, false, false);
    QApplication::restoreOverrideCursor();
  }
  model->ShowFolder(folder, true);
}
