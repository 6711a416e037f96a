// quarrow-cli list: the items of a volume's folder, as the file list shows them.
#include <iostream>
#include <map>

#include <fmt/format.h>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Source.h"
#include "cli/TreeWalk.h"
#include "tree/SaveReport.h"
#include "exfat/ExFATDirectory.h"
#include "fat/FATDirectory.h"
#include "ntfs/NTFSDirectory.h"

namespace {
struct ListOptions {
  std::string strSource, strFolder;
  int nPartition = 0;
  std::string strLost;
  bool bRecursive = false, bAll = false, bJson = false;
};

// The reason's text, looked up once per reason: the language does not change during a run.
const std::string& ReasonText(CDirEntry& item) {
  static std::map<StatusReason, std::string> texts;
  item.GetStatusText();  // works the status and its reason out when that was left for later
  auto it = texts.find(item.m_nStatusReason);
  if (it == texts.end()) it = texts.emplace(item.m_nStatusReason, U8(StatusReasonText(item.m_nStatusReason))).first;
  return it->second;
}

void PrintItem(CDirEntry* item, bool json) {
  std::string path = ItemPath(item);
  std::string status = U8(item->GetStatusText());
  if (json) {
    nlohmann::json j = {{"path", path},
                        {"name", U8(item->m_strName)},
                        {"dir", item->IsDirectory()},
                        {"size", item->GetSize()},
                        {"allocated", item->GetAllocatedSize()},
                        {"deleted", item->m_bDeleted},
                        {"status", status},
                        {"status_code", StatusWord(item->m_nStatus)},
                        {"status_reason", ReasonText(*item)},
                        {"created", U8(item->GetCreatedText())},
                        {"modified", U8(item->GetModifiedText())},
                        {"accessed", U8(item->GetAccessedText())},
                        {"created_utc", UtcTimeJson(item->m_tCreated)},
                        {"modified_utc", UtcTimeJson(item->m_tModified)},
                        {"accessed_utc", UtcTimeJson(item->m_tAccessed)},
                        {"created_epoch", EpochJson(item->m_tCreated)},
                        {"modified_epoch", EpochJson(item->m_tModified)},
                        {"accessed_epoch", EpochJson(item->m_tAccessed)},
                        {"attributes", item->m_dwAttributes}};
    if (auto* f = dynamic_cast<CFATFile*>(item)) j["first_cluster"] = f->m_nFirstCluster;
    if (auto* d = dynamic_cast<CFATDirectory*>(item)) j["first_cluster"] = d->m_nFirstCluster;
    // exFAT items: the first cluster, and for files the bytes that hold data (the rest of the
    // size reads as zeros) and whether the clusters lie in one run by the entry's own word.
    if (auto* f = dynamic_cast<CExFATFile*>(item)) {
      j["first_cluster"] = f->m_nFirstCluster;
      if (!f->m_bCarved) {
        j["valid_size"] = f->m_nValidLength;
        j["contiguous"] = f->m_bNoFatChain;
      }
    }
    if (auto* d = dynamic_cast<CExFATDirectory*>(item); d && d->m_place.nFirstCluster)
      j["first_cluster"] = d->m_place.nFirstCluster;
    // NTFS items: the times kept with the name, beside the shown $STANDARD_INFORMATION ones.
    // (Folders the program made, "LostFiles", "DeletedFiles" and its "dir_N", have none.)
    auto nameTimes = [&j](const NtfsNameTimes& t) {
      if (t.nCreatedTicks == 0 && t.nModifiedTicks == 0 && t.nAccessedTicks == 0) return;
      auto utc = [](uint64_t ticks) {
        int64_t seconds = 0;
        return NtfsTimeToUnix(ticks, seconds) ? UtcTimeJson(seconds) : nlohmann::json(nullptr);
      };
      j["fn_created_utc"] = utc(t.nCreatedTicks);
      j["fn_modified_utc"] = utc(t.nModifiedTicks);
      j["fn_accessed_utc"] = utc(t.nAccessedTicks);
    };
    if (auto* f = dynamic_cast<CNTFSFile*>(item); f && !f->IsCarved()) nameTimes(f->m_nameTimes);
    if (auto* d = dynamic_cast<CNTFSDirectory*>(item)) nameTimes(d->m_nameTimes);
    if (auto* f = dynamic_cast<CNTFSFile*>(item)) {
      j["record"] = f->m_nRecord;
      if (!f->IsCarved()) j["sequence"] = f->m_nSequence;
      if (!f->m_strStream.empty()) {
        // A named stream: its name and the path of the file it belongs to.
        j["stream"] = U8(f->m_strStream);
        j["owner_path"] = path.substr(0, path.size() - f->m_strStream.size() - 1);
      }
      // Encrypted data can only be recovered as stored on the disk.
      if (item->m_dwAttributes & 0x4000 && f->IsEncrypted()) j["encrypted"] = true;
    }
    if (auto* d = dynamic_cast<CNTFSDirectory*>(item)) {
      // A "dir_N" of "DeletedFiles" carries the number of the lost parent it stands for.
      j["record"] = d->m_nRecord;
      if (d->m_nSequence) j["sequence"] = d->m_nSequence;
    }
    PrintJsonLine(j);
  } else {
    std::cout << fmt::format("{:<9} {:>12} {}  {}{}\n", status, item->IsDirectory() ? "<DIR>" : U8(item->GetSizeText(false)),
                             U8(item->GetModifiedText()), path, item->IsDirectory() ? "/" : "");
  }
}

void ListFolder(CDirectory* folder, const ListOptions& o, int depth) {
  LoadFolder(folder, o.bAll);
  const CDriver* volume = folder->m_pDriver;
  for (size_t i = 0; i < folder->m_children.size(); ++i) {
    if (Interrupted() || (volume && volume->m_hDevice && volume->m_hDevice->IsGone())) return;
    CDirEntry* child = folder->m_children[i].get();
    if (!child) continue;
    PrintItem(child, o.bJson);
    if (o.bRecursive && child->IsDirectory() && depth + 1 < kMaxFolderDepth) {
      auto* sub = static_cast<CDirectory*>(child);
      ListFolder(sub, o, depth + 1);
      // Printed, and nothing reads it again: the subfolder's items are let go, so a
      // listing holds at most the folders on its way and their items (the folders given
      // are never below one another, all being found at the same depth).
      std::vector<std::unique_ptr<CDirEntry>>().swap(sub->m_children);
    }
  }
}

int RunList(const ListOptions& o) {
  CKelvoDoc doc(false);
  ResolvedSource src;
  std::string error;
  if (!ResolveSource(doc, o.strSource, o.nPartition, false, false, src, &error, o.strLost)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  CDirectory* root = src.pVolume->m_pRoot;
  if (!root) {
    std::cerr << "quarrow-cli: " << o.strSource << ": the volume's folders cannot be listed\n";
    return EXIT_BAD_INPUT;
  }
  auto items = FindItems(root, o.strFolder, o.bAll);
  std::vector<CDirectory*> folders;
  for (CDirEntry* item : items)
    if (item->IsDirectory()) folders.push_back(static_cast<CDirectory*>(item));
  if (folders.empty()) {
    std::cerr << "quarrow-cli: no folder " << o.strFolder << " on " << o.strSource
              << (o.bAll ? "" : " (existing files are listed with --all)") << '\n';
    return EXIT_BAD_INPUT;
  }
  for (CDirectory* folder : folders) ListFolder(folder, o, 0);
  if (ReportIfGone(src.pVolume)) return EXIT_INCOMPLETE;
  return Interrupted() ? EXIT_INCOMPLETE : EXIT_DONE;
}
}  // namespace

void AddListCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<ListOptions>();
  auto* cmd = app.add_subcommand("list", "List a folder of a FAT, exFAT or NTFS volume: folders and deleted files");
  cmd->add_option("SOURCE", o->strSource, "Volume (image or device), or a partitioned disk with --partition")->required();
  cmd->add_option("FOLDER", o->strFolder, "Folder path from the root, '/'-separated (LostFiles reaches the results)");
  cmd->add_option("--partition", o->nPartition, "The N-th FAT, exFAT or NTFS partition of a disk (from 1)");
  cmd->add_option("--lost", o->strLost, "A lost volume of the disk, by the name findlost prints (LostDriver_N)");
  cmd->add_flag("--recursive,-r", o->bRecursive, "Also list everything below the folder");
  cmd->add_flag("--all", o->bAll, "Also list existing files");
  cmd->add_flag("--json", o->bJson, "One JSON object per item");
  auto policy = std::make_shared<PolicyOptions>();
  AddPolicyOptions(cmd, *policy);
  cmd->callback([&ctx, o, policy] {
    ApplyPolicyOptions(*policy);
    ctx.nExitStatus = RunList(*o);
  });
}
