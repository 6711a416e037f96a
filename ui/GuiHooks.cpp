#include "ui/GuiHooks.h"

#include <QApplication>
#include <QPointer>

#include "deepscan/VirtualDriver.h"
#include "ntfs/NTFSDriver.h"
#include "ui/DeepScanWizard.h"
#include "ui/GuiApp.h"
#include "ui/NtfsScanDlg.h"
#include "ui/TaskRunnerQt.h"

void InstallCoreHooks(QWidget* parent) {
  QPointer<QWidget> owner(parent);
  SetDeepScanHook([owner](CDirectory* folder) { RunDeepScan(folder, owner.data()); });
  SetMftScanHook([owner](CNTFSDriver* volume) { RunMftScanDialog(volume, owner.data()); });
  // Runs on the scanning worker: the list takes the new nodes on the GUI thread while the
  // worker waits, so it never reads the child vector while it is being appended to.
  SetResultsFolderGrewHook([](CDirectory* folder) {
    CallOnGuiThread(qApp, [folder]() -> int64_t {
      NotifyFolderGrew(folder);
      return 0;
    });
  });
}

void RemoveCoreHooks() {
  SetDeepScanHook(nullptr);
  SetMftScanHook(nullptr);
  SetResultsFolderGrewHook(nullptr);
}
