// The commands of the main window that run the wizards and dialogs.
#include <QMessageBox>

#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "ui/DeepScanningDlg.h"
#include "ui/FSListCtrl.h"
#include "ui/FindLostDlgs.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/RecoverWizard.h"

void CMainFrame::OnRecover() {
  CFSListCtrl* list = ActiveList();
  if (list->SelectedCount() == 0) return;
  StopRunningSearch();
  RunRecoveryWizard(this, [list] { return list->SelectedNodes(); });
}

void CMainFrame::OnFindLostDrivers() {
  StopRunningSearch();
  CPhysicalDriver* disk = AskFindLostDisk(this, *m_pDoc);
  if (!disk || !AskFindLostRange(this, disk)) return;
  size_t before = m_pDoc->Volumes().size();
  {
    CDeepScanningDlg dlg(disk, m_pDoc, this);
    dlg.exec();
  }
  m_pTreePane->SyncVolumes();
  size_t found = m_pDoc->Volumes().size() - before;
  SetStatusText(QStringLiteral("%1 lost volume(s) found").arg(qulonglong(found)));
}
