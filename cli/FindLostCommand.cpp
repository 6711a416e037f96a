// quarrow-cli findlost: volumes on a disk that no partition table lists any more.
#include <iostream>
#include <optional>

#include <fmt/format.h>

#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/ScanProgress.h"
#include "cli/ScanRunner.h"
#include "cli/Source.h"
#include "app/LostVolumes.h"
#include "device/LostPartitions.h"

namespace {
struct FindLostOptions {
  std::string strDisk;
  std::optional<uint64_t> nFirst, nLast;
  bool bJson = false;
};

int RunFindLost(const FindLostOptions& o) {
  CKelvoDoc doc(false);
  std::string error;
  CPhysicalDriver* disk = OpenDisk(doc, o.strDisk, &error);
  if (!disk) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  const uint64_t sectors = disk->m_nClusterCount;
  uint64_t first = o.nFirst.value_or(0), last = o.nLast.value_or(sectors);
  if (first > last || last > sectors) {
    std::cerr << fmt::format("quarrow-cli: the sector range {} to {} is not within the disk's sectors 0 to {}\n", first,
                             last, sectors);
    return EXIT_BAD_INPUT;
  }
  disk->m_nFirstUnit = first;
  disk->m_nLastUnit = last;  // the end sector itself is not read
  const size_t known = doc.Volumes().size();
  CScanProgress progress(*disk, "Searching:");
  bool stopped = false;
  bool completed = RunStoppable([&] { return FindLostVolumes(*disk, doc, &progress); }, &stopped);
  progress.Finish();
  if (ReportIfGone(disk)) completed = false;
  for (size_t i = known; i < doc.Volumes().size(); ++i) {
    const auto& v = doc.Volumes()[i];
    uint64_t sector = v->m_nSectorOffset;
    if (o.bJson)
      PrintJsonLine({{"name", U8(v->m_szName)},
                     {"fs", U8(v->GetFileSystemText())},
                     {"sector", sector},
                     {"size_bytes", v->GetTotalBytes()},
                     {"size_text", U8(v->GetSizeText())}});
    else
      std::cout << fmt::format("{:<22} {:<6} at sector {:<12} {}\n", U8(v->m_szName), U8(v->GetFileSystemText()),
                               sector, U8(v->GetSizeText()));
  }
  std::cerr << fmt::format("{} sectors {} to {}: {} lost volume(s) found\n",
                           completed ? "Searched" : "Stopped after searching part of", first, last,
                           doc.Volumes().size() - known);
  return completed ? EXIT_DONE : EXIT_INCOMPLETE;
}
}  // namespace

void AddFindLostCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<FindLostOptions>();
  auto* cmd = app.add_subcommand("findlost", "Find FAT, exFAT and NTFS volumes that no partition table lists");
  cmd->add_option("DISK", o->strDisk, "Disk image or block device")->required();
  cmd->add_option("--first", o->nFirst, "First sector to search (default 0)");
  cmd->add_option("--last", o->nLast, "End of the search, not itself read (default the disk's sector count)");
  cmd->add_flag("--json", o->bJson, "One JSON object per volume");
  auto policy = std::make_shared<PolicyOptions>();
  AddPolicyOptions(cmd, *policy);
  cmd->callback([&ctx, o, policy] {
    ApplyPolicyOptions(*policy);
    ctx.nExitStatus = RunFindLost(*o);
  });
}
