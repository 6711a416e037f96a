// quarrow-cli deepscan: carve files out of a disk by their signatures.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <map>
#include <set>

#include <iostream>
#include <sstream>

#include <fmt/format.h>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/ScanProgress.h"
#include "cli/ScanRunner.h"
#include "cli/Source.h"
#include "deepscan/FileTypes.h"
#include "app/LostVolumes.h"
#include "deepscan/VirtualDriver.h"
#include "app/App.h"
#include "deepscan/ResultNodes.h"
#include "deepscan/ScanSession.h"
#include "exfat/ExFATDriver.h"
#include "fat/FATDriver.h"
#include "tree/OutputFile.h"
#include "tasks/RecoveryRun.h"
#include "tree/Save.h"

namespace {

struct DeepScanOptions {
  std::string strSource;
  std::string strTypes;
  std::optional<uint64_t> nFirst, nLast;
  std::string strTo;
  std::string strNames = "number";
  std::string strReport;
  std::string strSession, strResume;
  double dSaveEvery = 5.0;
  bool bJson = false;
  bool bAllowSameDisk = false;
  bool bNoOutputLimit = false;
  uint64_t nMinSize = 0, nMaxSize = UINT64_MAX;
  bool bByType = false;
  bool bScanDir = false;
  bool bDisk = false;
  int nPartition = 0;
  std::string strLost;
};

// Existing names in the destination are never replaced by a deep scan's output.
class CNoOverwrite : public ISavePrompts {
 public:
  SaveAnswer AskOverwriteFile(const std::u16string& name) override {
    std::cerr << "quarrow-cli: " << U8(name) << " exists in the destination; not replaced\n";
    m_bRefused = true;
    return SaveAnswer::No;
  }
  SaveAnswer AskReplaceFolder(const std::u16string& name) override { return AskOverwriteFile(name); }
  void ReportError(const std::string& message) override { std::cerr << "quarrow-cli: " << message << '\n'; }
  bool m_bRefused = false;
};

// Writes each carved file under the name and in the folders of the file-system item that
// began where it begins (DIR/Photos/2024/holiday.jpg), each folder and name made safe as
// every saved name is. A second file for a path already written in this run keeps its
// FILE_N name in that folder. False when a file could not be written whole.
bool SaveUnderFsNames(const std::vector<CFSFile*>& files, const std::string& destination, CNoOverwrite& prompts,
                      SaveRunState& state) {
  // (state.pReport gets a line for each file, and one for a folder that cannot be made.)
  bool whole = true;
  std::set<std::u16string> used;
  for (CFSFile* file : files) {
    std::vector<std::u16string> parts;
    for (size_t start = 0; start <= file->m_strFsPath.size();) {
      size_t end = file->m_strFsPath.find(u'/', start);
      if (end == std::u16string::npos) end = file->m_strFsPath.size();
      parts.push_back(file->m_strFsPath.substr(start, end - start));
      start = end + 1;
    }
    std::string folder = destination;
    for (size_t k = 0; k + 1 < parts.size(); ++k) folder += "/" + SafeFileName(parts[k]);
    std::string error;
    const int fd = MakeFolderPath(folder, &error) ? OpenDestination(folder, &error) : -1;
    if (fd < 0) {
      std::cerr << "quarrow-cli: " << error << '\n';
      if (state.pReport) {
        SaveOutcome outcome;
        outcome.kind = SaveOutcome::Failed;
        outcome.strError = error;
        state.pReport->File(*file, folder, outcome);
      }
      whole = false;
      continue;
    }
    const std::u16string carvedName = file->m_strName;
    if (used.insert(file->m_strFsPath).second) file->m_strName = parts.back();
    const bool go = SaveFileTo(*file, fd, folder, nullptr, &prompts, state);
    file->m_strName = carvedName;
    ::close(fd);
    if (!go) return false;  // the destination is full or the output limit was reached
  }
  return whole && state.failed.empty();
}

// --resume: the scan's options come from the session, which must be of this source.
bool TakeSessionOptions(DeepScanOptions& o, CScanSession& session, std::string* error) {
  if (!session.Load(o.strResume, error)) return false;
  const nlohmann::json& s = session.Options();
  try {
    o.strTypes = s.at("types").get<std::string>();
    o.nFirst = s.at("first").get<uint64_t>();
    o.nLast = s.at("last").get<uint64_t>();
    o.nPartition = s.at("partition").get<int>();
    o.strLost = s.at("lost").get<std::string>();
    o.bDisk = s.at("disk").get<bool>();
    o.bScanDir = s.at("scan_dir").get<bool>();
  } catch (const nlohmann::json::exception&) {
    *error = o.strResume + ": not a deep-scan session (its scan options are damaged)";
    return false;
  }
  return true;
}

int RunDeepScan(DeepScanOptions o, bool scanOptionsGiven) {
  CKelvoDoc doc(false);
  std::string error;
  ResolvedSource src;
  std::optional<CScanSession> resumed;
  if (!o.strResume.empty()) {
    if (scanOptionsGiven) {
      std::cerr << "quarrow-cli: --resume takes the scan's options (--types, --first, --last, --partition, --lost, "
                   "--disk, --scan-dir) from the session; leave them out\n";
      return EXIT_BAD_INPUT;
    }
    resumed.emplace(std::string(), ScanSource{}, nlohmann::json::object());
    if (!TakeSessionOptions(o, *resumed, &error)) {
      std::cerr << "quarrow-cli: " << error << '\n';
      return EXIT_BAD_INPUT;
    }
  }
  if (!ResolveSource(doc, o.strSource, o.nPartition, true, o.bDisk, src, &error, o.strLost)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  CLogicalDriver* volume = src.pVolume;
  // A session names its source; one resumed must be of this one.
  ScanSource scanSource;
  if (resumed || !o.strSession.empty()) {
    if (!DescribeScanSource(*volume, scanSource, &error) || (resumed && !resumed->SameSource(scanSource, &error))) {
      std::cerr << "quarrow-cli: " << error << '\n';
      return EXIT_BAD_INPUT;
    }
  }
  if (!volume->m_pLostFolder) {
    std::cerr << "quarrow-cli: " << o.strSource << ": this volume has no results folder to scan into\n";
    return EXIT_BAD_INPUT;
  }
  if (!ApplyScanTypeNames(*volume, o.strTypes, &error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  if (src.bIsDisk) {
    // Files carved where a file of one of the disk's partitions begins take its name.
    doc.EnumerateVolumes();
    NameCarvedFilesFromVolumes(doc, *volume);
  }
  if (auto* fat = dynamic_cast<CFATDriver*>(volume)) fat->m_bScanDir = o.bScanDir || TheApp().m_settings.ScanDir;
  if (auto* exfat = dynamic_cast<CExFATDriver*>(volume)) exfat->m_bScanDir = o.bScanDir || TheApp().m_settings.ScanDir;
  // The units a scan may visit: sectors of a disk, clusters of a volume.
  uint64_t lowest = src.bIsDisk ? 0 : volume->m_nFirstUnit;
  uint64_t highest = src.bIsDisk ? (volume->m_nClusterCount ? volume->m_nClusterCount - 1 : 0) : volume->m_nLastUnit;
  uint64_t first = o.nFirst.value_or(volume->m_nFirstUnit), last = o.nLast.value_or(volume->m_nLastUnit);
  if (volume->m_nClusterCount == 0 || first > last || first < lowest || last > highest) {
    std::cerr << fmt::format("quarrow-cli: the unit range {} to {} is not within the {} units {} to {}\n", first, last,
                             src.bIsDisk ? "disk's" : "volume's", lowest, highest);
    return EXIT_BAD_INPUT;
  }
  volume->m_nFirstUnit = first;
  volume->m_nLastUnit = last;
  CRecoveryRun run({}, o.strTo, DestinationPolicy::CreateFolder);
  if (!o.strTo.empty()) {
    if (!run.OpenDestination()) {
      std::cerr << "quarrow-cli: " << run.Result().strDestinationError << '\n';
      return EXIT_BAD_INPUT;
    }
    if (!o.bAllowSameDisk && IsOnSameDisk(o.strTo, o.strSource)) {
      std::cerr << "quarrow-cli: " << o.strTo << " lies on the disk being scanned; writing there could overwrite "
                << "the files being recovered. Choose a folder on another disk (or --allow-same-disk).\n";
      return EXIT_BAD_INPUT;
    }
  }
  CSaveReport report;
  if (!OpenReportFile(report, o.strReport, o.strSource, o.bAllowSameDisk)) return EXIT_BAD_INPUT;
  // The session: a new one for --session, the one resumed (and written on) for --resume.
  std::optional<CScanSession> created;
  CScanSession* session = nullptr;
  if (resumed || !o.strSession.empty()) {
    if (resumed) {
      session = &*resumed;
      std::cerr << fmt::format("Resuming the scan at unit {} with {} find(s) from {}\n", session->NextUnit(),
                               session->Finds(), o.strResume);
    } else {
      nlohmann::json options = {{"types", o.strTypes}, {"first", first},          {"last", last},
                                {"partition", o.nPartition}, {"lost", o.strLost}, {"disk", o.bDisk},
                                {"scan_dir", o.bScanDir || TheApp().m_settings.ScanDir != 0}};
      created.emplace(o.strSession, scanSource, options);
      session = &*created;
      if (!session->Save(&error)) {
        std::cerr << "quarrow-cli: cannot write the session: " << error << '\n';
        return EXIT_BAD_INPUT;
      }
    }
    session->SetInterval(std::chrono::milliseconds(int64_t(o.dSaveEvery * 1000)));
  }

  CDirectory* results = volume->m_pLostFolder;
  results->m_children.clear();
  CScanProgress progress(*volume, "Deep scan:");
  progress.SetResultsFolder(results);
  uint64_t found = 0;
  bool stopped = false;
  bool completed = RunStoppable([&] { return volume->ScanUnits(&progress, found, session); }, &stopped);
  progress.Finish();
  if (session) {
    const std::string path = resumed ? o.strResume : o.strSession;
    if (!session->Finish(completed, &error) || !session->Healthy()) {
      std::cerr << "quarrow-cli: the session could not be written: " << (error.empty() ? session->LastError() : error)
                << '\n';
      completed = false;
    } else if (!completed) {
      std::cerr << fmt::format("The scan can go on from unit {}: quarrow-cli deepscan {} --resume {}\n",
                               session->NextUnit(), o.strSource, path);
    }
  }
  results->m_bLoaded = true;

  int status = completed ? EXIT_DONE : EXIT_INCOMPLETE;
  if (ReportIfGone(volume)) status = EXIT_INCOMPLETE;
  // The finds within the size range (rebuilt folders always): the ones printed and written.
  std::vector<CDirEntry*> shown;
  for (const auto& child : results->m_children)
    if (child->IsDirectory() || (child->m_nSize >= o.nMinSize && child->m_nSize <= o.nMaxSize))
      shown.push_back(child.get());
  for (CDirEntry* child : shown) {
    // Where the item starts: its unit, and its byte offset within SOURCE.
    ResultStart start;
    ResultStartOf(*volume, *child, start);
    const uint64_t unit = start.nUnit, offset = start.nByteOffset;
    if (o.bJson) {
      nlohmann::json j = {{"name", U8(child->m_strName)}, {"unit", unit}, {"offset_bytes", offset}};
      if (child->IsDirectory()) {
        j["dir"] = true;
      } else {
        j["ext"] = U8(child->m_strExtension);
        j["size"] = child->m_nSize;
        // The file-system item that began at the same unit.
        if (auto* file = dynamic_cast<CFSFile*>(child); file && !file->m_strFsPath.empty()) {
          const std::u16string& path = file->m_strFsPath;
          j["fs_name"] = U8(path.substr(path.rfind(u'/') == std::u16string::npos ? 0 : path.rfind(u'/') + 1));
          j["fs_path"] = U8(path);
          j["fs_deleted"] = file->m_bFsDeleted;
        }
      }
      PrintJsonLine(j);
    } else {
      std::cout << fmt::format("{:<16} {:>12} at unit {}\n", U8(child->m_strName),
                               child->IsDirectory() ? std::string("<DIR>") : std::to_string(child->m_nSize) + " bytes",
                               unit);
    }
  }
  std::cout.flush();
  if (!o.strTo.empty()) {
    // Files found before a stop are written too; a second Ctrl-C ends the program.
    CNoOverwrite prompts;
    // Files under their file-system names, and the rest by type folder (DIR/jpg/, ...) with
    // --by-type or all in DIR; rebuilt folders always in DIR.
    std::map<std::string, std::vector<CDirEntry*>> byFolder;
    std::vector<CFSFile*> named;
    for (CDirEntry* child : shown) {
      auto* file = dynamic_cast<CFSFile*>(child);
      if (o.strNames == "fs" && file && !file->m_strFsPath.empty()) {
        named.push_back(file);
        continue;
      }
      std::string folder = o.strTo;
      if (o.bByType && !child->IsDirectory()) {
        std::string ext = U8(child->m_strExtension);
        for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        folder += "/" + (ext.empty() ? std::string("other") : ext);
      }
      byFolder[folder].push_back(child);
    }
    const uint64_t limit = o.bNoOutputLimit ? 0 : 4 * volume->GetTotalBytes();
    uint64_t writtenBytes = 0;
    bool ended = false;
    for (auto& [folder, items] : byFolder) {
      if (limit && writtenBytes >= limit) {
        std::cerr << "quarrow-cli: stopped: the output limit was reached (--no-output-limit writes on)\n";
        ended = true;
        break;
      }
      CRecoveryRun part(std::move(items), folder, DestinationPolicy::CreateFolder);
      part.SetOutputLimit(limit ? limit - writtenBytes : 0);
      if (report.IsOpen()) part.SetReport(&report);
      if (!part.OpenDestination()) {
        std::cerr << "quarrow-cli: " << part.Result().strDestinationError << '\n';
        status = EXIT_INCOMPLETE;
        continue;
      }
      part.Save(nullptr, &prompts);
      writtenBytes += part.Result().nBytesWritten;
      if (!part.Result().failed.empty()) status = EXIT_INCOMPLETE;
      if (!part.Result().strEndReason.empty()) {
        ended = true;
        break;
      }
    }
    if (prompts.m_bRefused || ended) status = EXIT_INCOMPLETE;
    if (!ended) {
      SaveRunState state;
      state.nOutputLimit = limit;
      if (report.IsOpen()) state.pReport = &report;
      state.nBytesWritten = writtenBytes;
      if (!SaveUnderFsNames(named, o.strTo, prompts, state)) status = EXIT_INCOMPLETE;
    }
  }
  if (report.IsOpen()) {
    report.Totals({{"command", "deepscan"},
                   {"destination", o.strTo},
                   {"first_unit", first},
                   {"last_unit", last},
                   {"scan_complete", completed},
                   {"found", results->m_children.size()},
                   {"within_size_range", shown.size()},
                   {"complete", status == EXIT_DONE}});
    if (!report.Healthy()) {
      std::cerr << "quarrow-cli: the report " << o.strReport << " could not be written whole\n";
      status = EXIT_INCOMPLETE;
    }
  }
  std::cerr << fmt::format("{} units {} to {}: {} item(s) found{}\n",
                           completed ? "Scanned" : "Stopped after scanning part of", first, last,
                           results->m_children.size(), o.strTo.empty() ? "" : ", written to " + o.strTo);
  if (shown.size() != results->m_children.size())
    std::cerr << fmt::format("{} of them within the size range\n", shown.size());
  return status;
}

}  // namespace

void AddDeepScanCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<DeepScanOptions>();
  auto* cmd = app.add_subcommand("deepscan", "Carve files out of a disk (image or device) by their signatures");
  cmd->add_option("SOURCE", o->strSource, "Disk (image or device) or FAT/exFAT/NTFS volume")->required();
  cmd->add_option("--partition", o->nPartition, "Scan the N-th FAT, exFAT or NTFS partition of a disk (from 1)");
  cmd->add_option("--lost", o->strLost, "Scan a lost volume of the disk, by the name findlost prints");
  cmd->add_flag("--disk", o->bDisk, "Scan SOURCE as a whole disk even when it is a volume");
  cmd->add_flag("--scan-dir", o->bScanDir, "On FAT and exFAT volumes, also rebuild lost folders (and skip live ones)");
  cmd->add_option("--types", o->strTypes,
                  "Comma-separated type names (jpg,png,pdf,docx,...) or all; default: the usual set");
  cmd->add_option("--first", o->nFirst, "First unit (512-byte sector) to scan; default 2");
  cmd->add_option("--last", o->nLast, "Last unit to scan; default the disk's last sector");
  auto* to = cmd->add_option("--to", o->strTo, "Write every carved file into this folder as FILE_N.EXT");
  cmd->add_option("--names", o->strNames,
                  "With --to: number (FILE_N.EXT, the default) or fs (the name and folders of the file-system item "
                  "that began at the same cluster, where there is one)")
      ->check(CLI::IsMember({"number", "fs"}));
  cmd->add_flag("--json", o->bJson, "One JSON object per carved file");
  cmd->add_option("--min-size", o->nMinSize, "List and write only files of at least this size (e.g. 4k, 2M)")
      ->transform(CLI::AsSizeValue(false));
  cmd->add_option("--max-size", o->nMaxSize, "List and write only files of at most this size (e.g. 100M)")
      ->transform(CLI::AsSizeValue(false));
  cmd->add_flag("--by-type", o->bByType, "With --to, write each file into a folder of its type (DIR/jpg/, DIR/pdf/, ...)");
  cmd->add_flag("--allow-same-disk", o->bAllowSameDisk, "Allow --to on the disk being scanned");
  cmd->add_flag("--no-output-limit", o->bNoOutputLimit,
                "With --to, write on past four times the scanned volume's size");
  cmd->add_option("--report", o->strReport,
                  "With --to, write a report: one JSON object per file written or failed, then the totals (JSON "
                  "Lines)")
      ->needs(to);
  auto* session = cmd->add_option("--session", o->strSession,
                                  "Record the scan's finds and progress in this file (rewritten every few seconds), "
                                  "so that a stopped or killed scan can be resumed");
  cmd->add_option("--resume", o->strResume,
                  "Go on with the scan a --session file recorded (its options and source are the session's); the "
                  "file is written on as the scan goes")
      ->excludes(session);
  cmd->add_option("--save-every", o->dSaveEvery, "Seconds between the session file's writes (default 5)")
      ->check(CLI::Range(0.0, 3600.0));
  auto policy = std::make_shared<PolicyOptions>();
  AddPolicyOptions(cmd, *policy);
  cmd->callback([&ctx, o, policy, cmd] {
    ApplyPolicyOptions(*policy);
    bool given = false;
    for (const char* name : {"--types", "--first", "--last", "--partition", "--lost", "--disk", "--scan-dir"})
      given = given || cmd->count(name) > 0;
    ctx.nExitStatus = RunDeepScan(*o, given);
  });
}
