// The commands of quarrow-cli; each adds its subcommand to the parser.
#pragma once

#include <CLI/CLI.hpp>

struct CliContext {
  int nExitStatus = 0;
};

void AddDevicesCommand(CLI::App& app, CliContext& ctx);
void AddDeepScanCommand(CLI::App& app, CliContext& ctx);
void AddListCommand(CLI::App& app, CliContext& ctx);
void AddRecoverCommand(CLI::App& app, CliContext& ctx);
void AddFindLostCommand(CLI::App& app, CliContext& ctx);
void AddImageCommand(CLI::App& app, CliContext& ctx);
