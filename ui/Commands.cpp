// The commands of the main window that run the wizards and dialogs.
#include <QMessageBox>

#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "tree/DirEntry.h"
#include "ui/DeepScanningDlg.h"
#include "ui/FSListCtrl.h"
#include "ui/FindLostDlgs.h"
#include "ui/FoldersTree.h"
#include "ui/GuiApp.h"
#include "ui/KelvoView.h"
#include "ui/MainFrame.h"
#include "ui/RecoverWizard.h"
#include "ui/UiText.h"

void CMainFrame::OnRecover() {
  CFSListCtrl* list = ActiveList();
  if (list->SelectedCount() == 0) return;
  StopRunningSearch();
  RunRecoveryWizard(this, [list] { return list->SelectedNodes(); });
}

const CPhysicalDriver* CMainFrame::SelectedDisk() {
  CDirectory* node = CFSTreeCtrl::NodeOf(m_pTreePane->Tree()->currentItem());
  if (!node || !node->m_pDriver) return nullptr;
  const CLogicalDriver* volume = node->m_pDriver;
  m_pDoc->EnumerateDisks();
  for (const auto& disk : m_pDoc->Disks()) {
    // A lost volume reads through its disk's handle; a disk's own item and the volumes
    // of an image name the disk's path.
    if ((volume->m_bSharedHandle && volume->m_hDevice == disk->m_hDevice) ||
        volume->m_source.strPath == disk->m_source.strPath)
      return disk.get();
  }
  return nullptr;
}

void CMainFrame::OnFindLostDrivers() {
  StopRunningSearch();
  CPhysicalDriver* disk = AskFindLostDisk(this, *m_pDoc, SelectedDisk());
  if (!disk || !AskFindLostRange(this, disk)) return;
  size_t before = m_pDoc->Volumes().size();
  CDeepScanningDlg dlg(disk, m_pDoc, this);
  dlg.exec();
  m_pTreePane->SyncVolumes();
  size_t found = m_pDoc->Volumes().size() - before;
  SetStatusText(TrCount(found, "IDS_LOST_VOLUMES_STATUS_ONE", u"%1 lost volume found", "IDS_LOST_VOLUMES_STATUS",
                        u"%1 lost volumes found"));
  dlg.ShowSummary(this);
}
