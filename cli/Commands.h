// The commands of quarrow-cli; each adds its subcommand to the parser.
#pragma once

#include <cstdint>
#include <optional>

#include <CLI/CLI.hpp>

class CDriver;

struct CliContext {
  int nExitStatus = 0;
};

void AddDevicesCommand(CLI::App& app, CliContext& ctx);
void AddDeepScanCommand(CLI::App& app, CliContext& ctx);
void AddListCommand(CLI::App& app, CliContext& ctx);
void AddRecoverCommand(CLI::App& app, CliContext& ctx);
void AddFindLostCommand(CLI::App& app, CliContext& ctx);
void AddImageCommand(CLI::App& app, CliContext& ctx);

// --retries and --skip-after of the commands that read volumes and disks: the bad-sector
// policy of the run (platform/BadAreas.h); unset, the settings' values hold.
struct PolicyOptions {
  std::optional<int> nRetries;
  std::optional<uint32_t> nSkipAfter;
};
void AddPolicyOptions(CLI::App* cmd, PolicyOptions& o);
void ApplyPolicyOptions(const PolicyOptions& o);
// When device's disk stopped answering, says so on stderr and answers true.
bool ReportIfGone(const CDriver* device);
