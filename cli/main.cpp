// quarrow-cli: the command-line front end over the core.
#include <iostream>

#include "app/App.h"
#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"

int main(int argc, char** argv) {
  CKelvoApp app;
  std::string error;
  tempfiles::InstallCleanupHandlers();
  InstallInterruptHandler();
  if (!app.InitCore(&error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  CLI::App cli{"Tarnwell Quarrow: undelete and recover files from FAT and NTFS volumes and disks"};
  cli.require_subcommand(1);
  CliContext ctx;
  AddDevicesCommand(cli, ctx);
  AddListCommand(cli, ctx);
  AddRecoverCommand(cli, ctx);
  AddDeepScanCommand(cli, ctx);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = cli.exit(e);
    return rc == 0 ? 0 : EXIT_BAD_INPUT;
  }
  return ctx.nExitStatus;
}
