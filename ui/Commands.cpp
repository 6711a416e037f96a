// The commands of the main window that run the wizards and dialogs.
#include <QFileDialog>
#include <QMessageBox>

#include "app/Document.h"
#include "deepscan/ScanSession.h"
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
#include "ui/DeepScanWizard.h"
#include "ui/PreviewPane.h"

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

namespace {
const char16_t* const kSessionFilter = u"Deep scan sessions (*.qscan);;All files (*)";
const QString kAppTitle = QStringLiteral("Tarnwell Quarrow");
}  // namespace

QString CMainFrame::SaveScanTo(const QString& path) {
  CDirectory* node = CFSTreeCtrl::NodeOf(m_pTreePane->Tree()->currentItem());
  CLogicalDriver* volume = node ? node->m_pDriver : nullptr;
  auto* session = volume ? dynamic_cast<CScanSession*>(volume->m_pScanJournal.get()) : nullptr;
  if (!session) return Tr("IDS_UI_NO_SCAN_TO_SAVE", u"This drive has no deep scan to save.");
  std::string error;
  if (!session->SaveAs(path.toStdString(), &error)) return QString::fromStdString(error);
  return {};
}

QString CMainFrame::OpenScanFrom(const QString& path) {
  StopRunningSearch();
  CFSTreeCtrl* tree = m_pTreePane->Tree();
  CDirectory* node = CFSTreeCtrl::NodeOf(tree->currentItem());
  CLogicalDriver* volume = node ? node->m_pDriver : nullptr;
  if (!volume || !volume->m_pLostFolder) return Tr("IDS_UI_SELECT_A_DRIVE_FIRST", u"Select a drive first.");
  auto session = std::make_shared<CScanSession>(std::string(), ScanSource{}, nlohmann::json::object());
  std::string error;
  ScanSource source;
  if (!session->Load(path.toStdString(), &error) || !DescribeScanSource(*volume, source, &error) ||
      !session->SameSource(source, &error) || !ApplyScanSessionOptions(*volume, session->Options(), &error))
    return QString::fromStdString(error);
  m_pPreviewPane->Clear();
  volume->m_pScanJournal = session;
  CDirectory* results = volume->m_pLostFolder;
  RunScanDialog(results, this);
  QTreeWidgetItem* lostItem = tree->FindLostFolderItem(tree->FindVolumeItem(volume), volume);
  results->m_bLoaded = true;  // what the session held, and what the scan added
  if (node == results || !lostItem) {
    m_pView->ShowInList(results);
    SetStatusText(ItemCountStatus());
    UpdateCommands();
  } else {
    tree->setCurrentItem(lostItem);
  }
  return {};
}

void CMainFrame::OnSaveScan() {
  const QString path = QFileDialog::getSaveFileName(this, Tr("IDS_UI_SAVE_SCAN", u"Save Scan..."), QString(),
                                                    Tr("IDS_UI_SESSION_FILES", kSessionFilter));
  if (path.isEmpty()) return;
  const QString error = SaveScanTo(path);
  if (!error.isEmpty()) QMessageBox::warning(this, kAppTitle, error);
}

void CMainFrame::OnOpenScan() {
  const QString path = QFileDialog::getOpenFileName(this, Tr("IDS_UI_OPEN_SCAN", u"Open Scan..."), QString(),
                                                    Tr("IDS_UI_SESSION_FILES", kSessionFilter));
  if (path.isEmpty()) return;
  const QString error = OpenScanFrom(path);
  if (!error.isEmpty()) QMessageBox::warning(this, kAppTitle, error);
}
