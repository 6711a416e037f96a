// The bad-sector policy's flags, shared by the commands that read volumes and disks.
#include <iostream>

#include "cli/Commands.h"
#include "device/Driver.h"
#include "platform/BadAreas.h"

void AddPolicyOptions(CLI::App* cmd, PolicyOptions& o) {
  cmd->add_option("--retries", o.nRetries, "Further tries of a failed read (default: the ReadRetries setting, 1)")
      ->check(CLI::Range(0, 100));
  cmd->add_option("--skip-after", o.nSkipAfter,
                  "Unreadable sectors in a row after which the rest of a bad area is searched past instead of read "
                  "(default: the SkipAfter setting, 16; 0: never)");
}

void ApplyPolicyOptions(const PolicyOptions& o) {
  BadSectorPolicy p = GetBadSectorPolicy();
  if (o.nRetries) p.nRetries = *o.nRetries;
  if (o.nSkipAfter) p.nSkipAfter = *o.nSkipAfter;
  SetBadSectorPolicy(p);
}

bool ReportIfGone(const CDriver* device) {
  if (!device || !device->m_hDevice || !device->m_hDevice->IsGone()) return false;
  std::cerr << "quarrow-cli: " << device->m_hDevice->Path()
            << " stopped answering (unplugged?); the job ended there. What was found or written so far is kept.\n";
  return true;
}
