#include "ui/KelvoView.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "device/Driver.h"
#include "platform/DataDirectory.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"
#include "ui/ResultFilterBar.h"

static void InitResources() { Q_INIT_RESOURCE(resources); }

QString StartPagePath() {
  InitResources();
  QString onDisk = QString::fromStdString(datadir::DataDirectory()) + QStringLiteral("/Media/index.htm");
  if (QFileInfo::exists(onDisk)) return onDisk;
  return QStringLiteral(":/Media/index.htm");
}

CKelvoView::CKelvoView(QWidget* parent)
    : QStackedWidget(parent),
      m_pStartPage(new QTextBrowser(this)),
      m_pList(new CFSListCtrl(false, true, this)),
      m_pListPage(new QWidget(this)),
      m_pFilterBar(new CResultFilterBar(m_pList->Model(), m_pListPage)) {
  setObjectName(QStringLiteral("mainView"));
  m_pStartPage->setObjectName(QStringLiteral("startPage"));
  m_pStartPage->setOpenExternalLinks(true);
  QString page = StartPagePath();
  m_pStartPage->setSource(page.startsWith(QLatin1Char(':')) ? QUrl(QStringLiteral("qrc") + page)
                                                            : QUrl::fromLocalFile(page));
  m_pList->setObjectName(QStringLiteral("fileList"));
  m_pList->RememberColumnsAs("FileListColumns");
  auto* column = new QVBoxLayout(m_pListPage);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(m_pFilterBar);
  column->addWidget(m_pList, 1);
  m_pFilterBar->hide();
  addWidget(m_pStartPage);
  addWidget(m_pListPage);
  ShowStartPage();
  GuiApp().m_pView = this;

  SetFolderChangeListener({
      [this](CDirectory* f) { m_pList->Model()->BeginLive(f); },
      [this](CDirectory* f) {
        m_pList->Model()->EndLive(f);
        if (m_pFilterBar->isVisible() && m_pList->Model()->Folder() == f) m_pFilterBar->FillTypes(f);
      },
      [this](CDirectory* f) { m_pList->Model()->Grow(f); },
  });
}

void CKelvoView::ShowStartPage() { setCurrentWidget(m_pStartPage); }
void CKelvoView::ShowList() { setCurrentWidget(m_pListPage); }
bool CKelvoView::IsListShown() const { return currentWidget() == m_pListPage; }

void CKelvoView::ShowInList(CDirectory* folder) {
  CFSListModel* model = m_pList->Model();
  bool lostFolder = folder && folder->m_pDriver && folder == folder->m_pDriver->m_pLostFolder;
  // The filter bar belongs to a results folder; another folder is shown whole.
  if (!lostFolder && m_pFilterBar->isVisibleTo(m_pListPage)) {
    m_pFilterBar->hide();
    m_pFilterBar->Reset();
  }
  if (!folder) {
    model->Clear();
    return;
  }
  if (lostFolder) {
    if (model->Folder() != folder) m_pFilterBar->Reset();
    model->ShowFolder(folder, false);
    if (!folder->m_bLoaded) {
      folder->LoadChildren(true, false, false);  // the deep scan wizard
      model->ShowFolder(folder, false);
    }
    m_pFilterBar->show();
    m_pFilterBar->FillTypes(folder);
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
