// quarrow-cli recover: save items of a volume's tree into a folder.
#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <set>

#include <fmt/format.h>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/ScanRunner.h"
#include "cli/Source.h"
#include "cli/TreeWalk.h"
#include "ntfs/NTFSDriver.h"
#include "tasks/Progress.h"
#include "tasks/RecoveryRun.h"
#include "tree/Save.h"

namespace {
struct RecoverOptions {
  std::string strSource, strTo, strOverwrite = "ask", strReport;
  std::vector<std::string> items;
  int nPartition = 0;
  std::string strLost;
  bool bAll = false, bAllowSameDisk = false, bDeletedOnly = false, bNoOutputLimit = false;
};

// --deleted-only. Loads folder and the folders below it, as deep as a save goes, and keeps
// in the tree only deleted files and the folders that hold one at some depth: existing files
// and folders without a deleted file below them are dropped as each folder is loaded, so
// the tree never holds all the volume's existing files at once. Nodes in pinned (items the
// command still points at and the folders above them, and the folders the volume points at)
// are moved into graveyard instead of being destroyed. Answers whether anything below folder
// is kept. Once Ctrl-C is pressed the rest is kept as it is (the caller then saves nothing).
bool KeepDeletedFiles(CDirectory* folder, int depth, const std::set<const CDirEntry*>& pinned,
                      std::vector<std::unique_ptr<CDirEntry>>& graveyard) {
  LoadFolder(folder, false);
  auto& children = folder->m_children;
  size_t kept = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    auto& child = children[i];
    if (!child) continue;
    bool keep;
    if (Interrupted()) keep = true;
    else if (!child->IsDirectory()) keep = child->m_bDeleted;
    else if (depth + 1 >= kMaxFolderDepth) keep = true;  // the save reports it as nested too deeply
    else keep = KeepDeletedFiles(static_cast<CDirectory*>(child.get()), depth + 1, pinned, graveyard);
    if (keep) children[kept++] = std::move(child);
    else if (pinned.count(child.get())) graveyard.push_back(std::move(child));
  }
  children.resize(kept);
  return kept > 0;
}

// Answers the save's questions from --overwrite; "ask" asks on the terminal.
class CCliPrompts : public ISavePrompts {
 public:
  explicit CCliPrompts(std::string mode) : m_strMode(std::move(mode)) {}
  SaveAnswer AskOverwriteFile(const std::u16string& name) override {
    return Ask(fmt::format("'{}' exists in the destination. Replace it?", U8(name)));
  }
  SaveAnswer AskReplaceFolder(const std::u16string& name) override {
    return Ask(fmt::format("The folder '{}' exists in the destination. Replace files of the same names in it?", U8(name)));
  }
  void ReportError(const std::string& message) override { std::cerr << "quarrow-cli: " << message << '\n'; }

 private:
  SaveAnswer Ask(const std::string& question) {
    if (m_strMode == "all") return SaveAnswer::YesToAll;
    if (m_strMode == "skip") return SaveAnswer::No;
    if (m_strMode == "keep") return SaveAnswer::KeepBoth;
    std::cerr << question << " [y]es / [n]o / [a]ll / [s]kip all / [k]eep both: " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer) || answer.empty()) return SaveAnswer::No;
    switch (answer[0]) {
      case 'a': case 'A': return SaveAnswer::YesToAll;
      case 'y': case 'Y': return SaveAnswer::Yes;
      case 's': case 'S': return SaveAnswer::NoToAll;
      case 'k': case 'K': return SaveAnswer::KeepBoth;
      default: return SaveAnswer::No;
    }
  }
  std::string m_strMode;
};

// Counts finished files on stderr.
class CRecoverProgress : public IProgressWindow {
 public:
  explicit CRecoverProgress(int64_t total) : m_nTotal(total), m_bTerminal(::isatty(2)) {}
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t message, uint64_t, int64_t) override {
    if (message == WM_FILEDONE && m_bTerminal) {
      ++m_nDone;
      std::cerr << fmt::format("\rRecovered {} of {} file(s)", m_nDone, m_nTotal) << std::flush;
    }
    return 0;
  }
  void Finish() {
    if (m_bTerminal && m_nDone) std::cerr << '\n';
  }

 private:
  int64_t m_nTotal, m_nDone = 0;
  bool m_bTerminal;
};

// Whether the item is there once existing files count (read afresh: the folders of the run
// were loaded with deleted files only). Asked only for an item that was not found.
bool ExistsWithAll(const RecoverOptions& o, const std::string& path) {
  CKelvoDoc doc(false);
  ResolvedSource src;
  std::string error;
  if (!ResolveSource(doc, o.strSource, o.nPartition, false, false, src, &error, o.strLost) || !src.pVolume->m_pRoot)
    return false;
  return !FindItems(src.pVolume->m_pRoot, path, true).empty();
}

int RunRecover(const RecoverOptions& o) {
  if (o.strOverwrite != "ask" && o.strOverwrite != "all" && o.strOverwrite != "skip" && o.strOverwrite != "keep") {
    std::cerr << "quarrow-cli: --overwrite takes ask, all, skip or keep\n";
    return EXIT_BAD_INPUT;
  }
  CKelvoDoc doc(false);
  ResolvedSource src;
  std::string error;
  if (!ResolveSource(doc, o.strSource, o.nPartition, false, false, src, &error, o.strLost)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  CRecoveryRun run({}, o.strTo, DestinationPolicy::MustExist);
  if (!run.OpenDestination()) {
    std::cerr << "quarrow-cli: " << run.Result().strDestinationError << '\n';
    return EXIT_BAD_INPUT;
  }
  if (!o.bAllowSameDisk && IsOnSameDisk(o.strTo, o.strSource)) {
    std::cerr << "quarrow-cli: " << o.strTo << " lies on the disk being recovered from; writing there could "
              << "overwrite the files being recovered. Choose a folder on another disk (or --allow-same-disk).\n";
    return EXIT_BAD_INPUT;
  }
  CSaveReport report;
  if (!OpenReportFile(report, o.strReport, o.strSource, o.bAllowSameDisk)) return EXIT_BAD_INPUT;
  // Nothing here shows a status: an NTFS volume leaves the header checks of deleted files
  // (a read of each one's first cluster) undone.
  if (auto* ntfs = dynamic_cast<CNTFSDriver*>(src.pVolume)) ntfs->m_bStatusOnDemand = true;
  CDirectory* root = src.pVolume->m_pRoot;
  std::vector<CDirEntry*> selected;
  std::vector<std::string> missing;
  for (const auto& path : o.items) {
    // With --deleted-only an existing file is found too, to be named as passed over below.
    auto found = root ? FindItems(root, path, o.bAll || o.bDeletedOnly) : std::vector<CDirEntry*>{};
    if (found.empty()) {
      std::cerr << "quarrow-cli: " << path << ": no such item"
                << (o.bAll || o.bDeletedOnly || !ExistsWithAll(o, path) ? "" : " (an existing file: it needs --all)")
                << '\n';
      missing.push_back(path);
    }
    selected.insert(selected.end(), found.begin(), found.end());
  }
  // With --deleted-only, the folders keep only their deleted files and the folders on the
  // way to them; existing files given by path are passed over.
  std::vector<std::unique_ptr<CDirEntry>> graveyard;
  if (o.bDeletedOnly) {
    // The volume keeps pointers to its results folders (and compares folders with them):
    // those are never destroyed either.
    std::set<const CDirEntry*> pinned{src.pVolume->m_pLostFolder};
    if (auto* ntfs = dynamic_cast<CNTFSDriver*>(src.pVolume)) pinned.insert(ntfs->m_pDeletedFolder);
    for (const CDirEntry* item : selected)
      for (const CDirEntry* n = item; n; n = n->m_pParent) pinned.insert(n);
    std::vector<CDirEntry*> keep;
    for (CDirEntry* item : selected) {
      if (Interrupted()) break;
      if (!item->IsDirectory() ? item->m_bDeleted
                               : KeepDeletedFiles(static_cast<CDirectory*>(item), 0, pinned, graveyard)) {
        keep.push_back(item);
        continue;
      }
      std::string path = item->m_pParent ? ItemPath(item) : "/";
      std::cerr << "quarrow-cli: " << path
                << (item->IsDirectory() ? ": no deleted files below it; nothing written\n"
                                        : ": not deleted; passed over (--deleted-only)\n");
    }
    if (Interrupted()) {
      std::cerr << "quarrow-cli: stopped before anything was written\n";
      return EXIT_INCOMPLETE;
    }
    selected = std::move(keep);
  }
  // With --all the folders to save are loaded with every file before saving (the save
  // itself loads unloaded folders the way the tree shows them: deleted files only).
  if (o.bAll)
    for (CDirEntry* item : selected)
      if (item->IsDirectory()) LoadTree(static_cast<CDirectory*>(item), true);
  run.SetItems(selected);
  if (report.IsOpen()) run.SetReport(&report);
  if (o.bNoOutputLimit) run.SetOutputLimit(0);
  run.CountFiles(nullptr);
  CCliPrompts prompts(o.strOverwrite);
  CRecoverProgress progress(run.Result().nTotalFiles);
  bool stopped = false;
  RunStoppablePage([&] { return run.Save(&progress, &prompts); }, &stopped);
  progress.Finish();
  if (stopped) std::cerr << "quarrow-cli: stopped; what was written so far stays in " << o.strTo << '\n';
  const bool gone = ReportIfGone(src.pVolume);
  const size_t failed = run.Result().failed.size() + missing.size();
  if (failed) std::cerr << fmt::format("quarrow-cli: {} item(s) could not be recovered whole\n", failed);
  if (run.Result().nSharedFiles)
    std::cerr << fmt::format("quarrow-cli: {} file(s) share clusters with a file written before them (cross-linked "
                             "entries of a damaged volume); they were written, but hold another file's data\n",
                             run.Result().nSharedFiles);
  const bool ended = !run.Result().strEndReason.empty();
  if (ended)
    std::cerr << fmt::format("quarrow-cli: {} file(s) written whole before the recovery ended; {} not written\n",
                             run.Result().written.size(),
                             std::max<int64_t>(0, run.Result().nTotalFiles - int64_t(run.Result().written.size())));
  if (report.IsOpen()) {
    nlohmann::json missingPaths = missing;
    report.Totals({{"command", "recover"},
                   {"destination", o.strTo},
                   {"files_counted", run.Result().nTotalFiles},
                   {"files_sharing_clusters", run.Result().nSharedFiles},
                   {"not_found", missingPaths},
                   {"stopped", stopped},
                   {"source_gone", gone},
                   {"end_reason", run.Result().strEndReason},
                   {"complete", !(stopped || gone || failed || ended)}});
    if (!report.Healthy()) {
      std::cerr << "quarrow-cli: the report " << o.strReport << " could not be written whole\n";
      return EXIT_INCOMPLETE;
    }
  }
  return stopped || gone || failed || ended ? EXIT_INCOMPLETE : EXIT_DONE;
}
}  // namespace

void AddRecoverCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<RecoverOptions>();
  auto* cmd = app.add_subcommand("recover", "Save items of a volume (as list prints their paths) into a folder");
  cmd->add_option("SOURCE", o->strSource, "Volume (image or device), or a partitioned disk with --partition")->required();
  cmd->add_option("ITEM", o->items, "Item paths from the root, '/'-separated")->required();
  cmd->add_option("--to", o->strTo, "Destination folder (must exist)")->required();
  cmd->add_option("--overwrite", o->strOverwrite,
                  "When a name exists: ask (default), all (replace), skip (keep the existing one) or keep (write the "
                  "new one beside it as NAME (2))");
  cmd->add_option("--partition", o->nPartition, "The N-th FAT, exFAT or NTFS partition of a disk (from 1)");
  cmd->add_option("--lost", o->strLost, "A lost volume of the disk, by the name findlost prints (LostDriver_N)");
  auto* all = cmd->add_flag("--all", o->bAll, "Existing files count too (as list --all shows them)");
  cmd->add_flag("--deleted-only", o->bDeletedOnly,
                "Only deleted files, with the folders on their way; existing files are passed over")
      ->excludes(all);
  cmd->add_flag("--allow-same-disk", o->bAllowSameDisk, "Allow a destination on the disk being recovered from");
  cmd->add_flag("--no-output-limit", o->bNoOutputLimit,
                "Write on past four times the source volume's size (a volume whose files share clusters)");
  cmd->add_option("--report", o->strReport,
                  "Write a report: one JSON object per file written or failed, then the totals (JSON Lines)");
  auto policy = std::make_shared<PolicyOptions>();
  AddPolicyOptions(cmd, *policy);
  cmd->callback([&ctx, o, policy] {
    ApplyPolicyOptions(*policy);
    ctx.nExitStatus = RunRecover(*o);
  });
}
