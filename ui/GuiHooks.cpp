#include "ui/GuiHooks.h"

#include <QApplication>
#include <QPointer>

#include "ntfs/NTFSDriver.h"
#include "tasks/FrontEnd.h"
#include "ui/DeepScanWizard.h"
#include "ui/GuiApp.h"
#include "ui/NtfsScanDlg.h"
#include "ui/TaskRunnerQt.h"

namespace {
// The main window's answers to the core: the deep-scan wizard, the MFT scanning dialog,
// and the list growing while a scan runs.
class CGuiHooks final : public IFrontEndHooks {
 public:
  explicit CGuiHooks(QWidget* owner) : m_owner(owner) {}
  void RunDeepScan(CDirectory* folder) override { ::RunDeepScan(folder, m_owner.data()); }
  bool ReadMft(CNTFSDriver* volume) override {
    RunMftScanDialog(volume, m_owner.data());
    return true;
  }
  // Runs on the scanning worker: the list takes the new nodes on the GUI thread while the
  // worker waits, so it never reads the child vector while it is being appended to.
  void ResultsFolderGrew(CDirectory* folder) override {
    CallOnGuiThread(qApp, [folder]() -> int64_t {
      NotifyFolderGrew(folder);
      return 0;
    });
  }
  void ChangeResults(CDirectory* folder, const std::function<void()>& change) override {
    CallOnGuiThread(qApp, [folder, &change]() -> int64_t {
      change();
      NotifyFolderGrew(folder);
      return 0;
    });
  }

 private:
  QPointer<QWidget> m_owner;
};

std::unique_ptr<CGuiHooks> g_pHooks;
}  // namespace

void InstallCoreHooks(QWidget* parent) {
  g_pHooks = std::make_unique<CGuiHooks>(parent);
  SetFrontEndHooks(g_pHooks.get());
}

void RemoveCoreHooks() {
  SetFrontEndHooks(nullptr);
  g_pHooks.reset();
}
