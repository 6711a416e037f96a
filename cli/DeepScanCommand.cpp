// quarrow-cli deepscan: carve files out of a disk by their signatures.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
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
#include "deepscan/VirtualDriver.h"
#include "app/App.h"
#include "deepscan/ResultNodes.h"
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
  bool bJson = false;
  bool bAllowSameDisk = false;
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

// Sets the volume's type flags from a list of lower-case flag names or "all"; false with
// *error naming the unknown names.
bool ApplyTypes(CLogicalDriver& volume, const std::string& list, std::string* error) {
  if (list.empty()) {
    SetDefaultScanFlags(volume);
    return true;
  }
  SetAllScanFlags(volume, false);
  std::stringstream in(list);
  std::string name, unknown;
  while (std::getline(in, name, ',')) {
    for (auto& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (name.empty()) continue;
    if (name == "all") {
      SetAllScanFlags(volume, true);
      continue;
    }
    if (ScanFlag f = FindScanFlag(name)) volume.*f = 1;
    else unknown += (unknown.empty() ? "" : ", ") + name;
  }
  if (!unknown.empty()) {
    std::string known;
    for (const auto& f : ScanFlags()) known += (known.empty() ? "" : ",") + std::string(f.szName);
    *error = "unknown type name(s): " + unknown + " (known: all," + known + ")";
    return false;
  }
  return true;
}

// Writes each carved file under the name and in the folders of the file-system item that
// began where it begins (DIR/Photos/2024/holiday.jpg), each folder and name made safe as
// every saved name is. A second file for a path already written in this run keeps its
// FILE_N name in that folder. False when a file could not be written whole.
bool SaveUnderFsNames(const std::vector<CFSFile*>& files, const std::string& destination, CNoOverwrite& prompts) {
  bool whole = true;
  std::set<std::u16string> used;
  SaveRunState state;
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
      whole = false;
      continue;
    }
    const std::u16string carvedName = file->m_strName;
    if (used.insert(file->m_strFsPath).second) file->m_strName = parts.back();
    SaveFileTo(*file, fd, folder, nullptr, &prompts, state);
    file->m_strName = carvedName;
    ::close(fd);
  }
  return whole && state.failed.empty();
}

int RunDeepScan(const DeepScanOptions& o) {
  CKelvoDoc doc(false);
  std::string error;
  ResolvedSource src;
  if (!ResolveSource(doc, o.strSource, o.nPartition, true, o.bDisk, src, &error, o.strLost)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  CLogicalDriver* volume = src.pVolume;
  if (!volume->m_pLostFolder) {
    std::cerr << "quarrow-cli: " << o.strSource << ": this volume has no results folder to scan into\n";
    return EXIT_BAD_INPUT;
  }
  if (!ApplyTypes(*volume, o.strTypes, &error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  if (auto* fat = dynamic_cast<CFATDriver*>(volume)) fat->m_bScanDir = o.bScanDir || TheApp().m_settings.ScanDir;
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

  CDirectory* results = volume->m_pLostFolder;
  results->m_children.clear();
  CScanProgress progress(*volume, "Deep scan:");
  progress.SetResultsFolder(results);
  uint64_t found = 0;
  bool stopped = false;
  bool completed = RunStoppable([&] { return volume->ScanUnits(&progress, found); }, &stopped);
  progress.Finish();
  results->m_bLoaded = true;

  int status = completed ? EXIT_DONE : EXIT_INCOMPLETE;
  if (ReportIfGone(volume)) status = EXIT_INCOMPLETE;
  for (const auto& child : results->m_children) {
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
        if (auto* file = dynamic_cast<CFSFile*>(child.get()); file && !file->m_strFsPath.empty()) {
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
    std::vector<CDirEntry*> found;
    std::vector<CFSFile*> named;
    for (const auto& child : results->m_children) {
      auto* file = dynamic_cast<CFSFile*>(child.get());
      if (o.strNames == "fs" && file && !file->m_strFsPath.empty()) named.push_back(file);
      else found.push_back(child.get());
    }
    run.SetItems(std::move(found));
    run.Save(nullptr, &prompts);
    if (!run.Result().failed.empty() || prompts.m_bRefused) status = EXIT_INCOMPLETE;
    if (!SaveUnderFsNames(named, o.strTo, prompts)) status = EXIT_INCOMPLETE;
  }
  std::cerr << fmt::format("{} units {} to {}: {} item(s) found{}\n",
                           completed ? "Scanned" : "Stopped after scanning part of", first, last,
                           results->m_children.size(), o.strTo.empty() ? "" : ", written to " + o.strTo);
  return status;
}

}  // namespace

void AddDeepScanCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<DeepScanOptions>();
  auto* cmd = app.add_subcommand("deepscan", "Carve files out of a disk (image or device) by their signatures");
  cmd->add_option("SOURCE", o->strSource, "Disk (image or device) or FAT/NTFS volume")->required();
  cmd->add_option("--partition", o->nPartition, "Scan the N-th FAT or NTFS partition of a disk (from 1)");
  cmd->add_option("--lost", o->strLost, "Scan a lost volume of the disk, by the name findlost prints");
  cmd->add_flag("--disk", o->bDisk, "Scan SOURCE as a whole disk even when it is a volume");
  cmd->add_flag("--scan-dir", o->bScanDir, "On FAT volumes, also rebuild lost folders (and skip live ones)");
  cmd->add_option("--types", o->strTypes,
                  "Comma-separated type names (jpg,png,pdf,docx,...) or all; default: the usual set");
  cmd->add_option("--first", o->nFirst, "First unit (512-byte sector) to scan; default 2");
  cmd->add_option("--last", o->nLast, "Last unit to scan; default the disk's last sector");
  cmd->add_option("--to", o->strTo, "Write every carved file into this folder as FILE_N.EXT");
  cmd->add_option("--names", o->strNames,
                  "With --to: number (FILE_N.EXT, the default) or fs (the name and folders of the file-system item "
                  "that began at the same cluster, where there is one)")
      ->check(CLI::IsMember({"number", "fs"}));
  cmd->add_flag("--json", o->bJson, "One JSON object per carved file");
  cmd->add_flag("--allow-same-disk", o->bAllowSameDisk, "Allow --to on the disk being scanned");
  auto policy = std::make_shared<PolicyOptions>();
  AddPolicyOptions(cmd, *policy);
  cmd->callback([&ctx, o, policy] {
    ApplyPolicyOptions(*policy);
    ctx.nExitStatus = RunDeepScan(*o);
  });
}
