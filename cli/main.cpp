// quarrow-cli: the command-line front end over the core.
#include <iostream>

#include "app/App.h"
#include "settings/Language.h"
#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/ScanProgress.h"
#include "cli/ScanRunner.h"
#include "ntfs/NTFSDriver.h"
#include "tasks/FrontEnd.h"

// Set when an operation the command needed could not be completed (a stopped MFT read).
bool g_bIncomplete = false;
#include "cli/Output.h"

namespace {
// NTFS volumes read their MFT with a progress line, and Ctrl-C stops that too. Results
// folders are filled by the deepscan command itself, never on opening.
class CCliHooks final : public IFrontEndHooks {
 public:
  bool ReadMft(CNTFSDriver* volume) override {
    CScanProgress progress(*volume, "Reading the MFT:");
    uint64_t clusters = (volume->m_nMftBytes + volume->m_nBytesPerCluster - 1) / volume->m_nBytesPerCluster;
    progress.SetRange(1, clusters, volume->m_nBytesPerCluster);
    bool stopped = false;
    RunStoppable([&] { return volume->ScanMft(&progress); }, &stopped);
    progress.Finish();
    if (!volume->m_bMftLoaded) {
      std::cerr << "quarrow-cli: the MFT was not read" << (stopped ? " (stopped)" : "") << "; nothing is listed\n";
      g_bIncomplete = true;
    }
    return true;
  }
};
}  // namespace

int main(int argc, char** argv) {
  CKelvoApp app;
  std::string error;
  tempfiles::InstallCleanupHandlers();
  InstallInterruptHandler();
  if (!app.InitCore(&error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }  // Scripts read this output: the status words stay English whatever the locale.
  ChooseLanguageFile(LANG_ENGLISH);

  CCliHooks hooks;
  SetFrontEndHooks(&hooks);
  CLI::App cli{"Tarnwell Quarrow: undelete and recover files from FAT, exFAT and NTFS volumes and disks"};
  cli.set_version_flag("--version", "quarrow-cli " QUARROW_VERSION, "Print the version and exit");
  cli.require_subcommand(1);
  CliContext ctx;
  AddDevicesCommand(cli, ctx);
  AddListCommand(cli, ctx);
  AddRecoverCommand(cli, ctx);
  AddDeepScanCommand(cli, ctx);
  AddFindLostCommand(cli, ctx);
  AddImageCommand(cli, ctx);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = cli.exit(e);
    return rc == 0 ? 0 : EXIT_BAD_INPUT;
  }
  return ctx.nExitStatus == EXIT_DONE && g_bIncomplete ? EXIT_INCOMPLETE : ctx.nExitStatus;
}
