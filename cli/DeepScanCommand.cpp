// quarrow-cli deepscan: carve files out of a disk by their signatures.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

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
#include "tree/OutputFile.h"

namespace {

struct DeepScanOptions {
  std::string strSource;
  std::string strTypes;
  std::optional<uint64_t> nFirst, nLast;
  std::string strTo;
  bool bJson = false;
  bool bAllowSameDisk = false;
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

// Makes the destination folder (its parent must exist); false with *error.
bool PrepareDestination(const std::string& dir, std::string* error) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      *error = dir + ": not a folder";
      return false;
    }
    return true;
  }
  if (::mkdir(dir.c_str(), 0755) != 0) {
    *error = dir + ": cannot create the folder: " + std::strerror(errno);
    return false;
  }
  return true;
}

int RunDeepScan(const DeepScanOptions& o) {
  CKelvoDoc doc(false);
  std::string error;
  CLogicalDriver* volume = OpenDiskAsVirtualVolume(doc, o.strSource, &error);
  if (!volume) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  if (!ApplyTypes(*volume, o.strTypes, &error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  uint64_t lastUnit = volume->m_nClusterCount ? volume->m_nClusterCount - 1 : 0;
  uint64_t first = o.nFirst.value_or(volume->m_nFirstUnit), last = o.nLast.value_or(volume->m_nLastUnit);
  if (volume->m_nClusterCount == 0 || first > last || last > lastUnit) {
    std::cerr << fmt::format("quarrow-cli: the unit range {} to {} is not within the disk's units 0 to {}\n", first,
                             last, lastUnit);
    return EXIT_BAD_INPUT;
  }
  volume->m_nFirstUnit = first;
  volume->m_nLastUnit = last;
  if (!o.strTo.empty()) {
    if (!PrepareDestination(o.strTo, &error)) {
      std::cerr << "quarrow-cli: " << error << '\n';
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
  for (const auto& child : results->m_children) {
    auto* file = static_cast<CVirtualFile*>(child.get());
    if (o.bJson)
      PrintJsonLine({{"name", U8(file->m_strName)},
                     {"ext", U8(file->m_strExtension)},
                     {"unit", file->m_nStartUnit},
                     {"offset_bytes", file->m_nStartUnit * volume->m_nBytesPerCluster},
                     {"size", file->m_nSize}});
    else
      std::cout << fmt::format("{:<16} {:>12} bytes at unit {}\n", U8(file->m_strName), file->m_nSize,
                               file->m_nStartUnit);
  }
  std::cout.flush();
  if (!o.strTo.empty()) {
    // Files found before a stop are written too; a second Ctrl-C ends the program.
    for (const auto& child : results->m_children) {
      auto* file = static_cast<CVirtualFile*>(child.get());
      std::string path = o.strTo + "/" + U8(file->m_strName);
      CDiskOutputFile out;
      if (!out.Create(path, false, &error)) {
        std::cerr << "quarrow-cli: " << error << '\n';
        status = EXIT_INCOMPLETE;
        continue;
      }
      bool ok = file->WriteContent(out, nullptr, 0);
      if (!out.Close(&error) || !ok) {
        std::cerr << "quarrow-cli: " << path << ": could not be written whole" << (ok ? ": " + error : "") << '\n';
        status = EXIT_INCOMPLETE;
      }
    }
  }
  std::cerr << fmt::format("{} units {} to {}: {} file(s) found{}\n",
                           completed ? "Scanned" : "Stopped after scanning part of", first, last,
                           results->m_children.size(), o.strTo.empty() ? "" : ", written to " + o.strTo);
  return status;
}

}  // namespace

void AddDeepScanCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<DeepScanOptions>();
  auto* cmd = app.add_subcommand("deepscan", "Carve files out of a disk (image or device) by their signatures");
  cmd->add_option("SOURCE", o->strSource, "Disk image or block device")->required();
  cmd->add_option("--types", o->strTypes,
                  "Comma-separated type names (jpg,png,pdf,docx,...) or all; default: the usual set");
  cmd->add_option("--first", o->nFirst, "First unit (512-byte sector) to scan; default 2");
  cmd->add_option("--last", o->nLast, "Last unit to scan; default the disk's last sector");
  cmd->add_option("--to", o->strTo, "Write every carved file into this folder as FILE_N.EXT");
  cmd->add_flag("--json", o->bJson, "One JSON object per carved file");
  cmd->add_flag("--allow-same-disk", o->bAllowSameDisk, "Allow --to on the disk being scanned");
  cmd->callback([&ctx, o] { ctx.nExitStatus = RunDeepScan(*o); });
}
