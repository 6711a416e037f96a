#include "deepscan/ResultNodes.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/LocalTime.h"
#include "platform/Text.h"
#include "tasks/FrontEnd.h"

namespace {
// Stamps a results node as every node of the folder is stamped, and appends it.
CDirEntry* Append(CLogicalDriver& volume, std::unique_ptr<CDirEntry> node, uint32_t status, StatusReason reason) {
  node->m_pDriver = &volume;
  const int64_t now = localtime_::Now();
  node->m_tCreated = node->m_tModified = node->m_tAccessed = now;
  node->m_bDeleted = true;
  node->m_nStatus = status;
  node->m_nStatusReason = reason;
  node->m_bStatusEvaluated = true;
  CDirEntry* added = volume.m_pLostFolder->AddChild(std::move(node));
  FrontEndHooks().ResultsFolderGrew(volume.m_pLostFolder);
  return added;
}

bool UnitOrder(const CLogicalDriver::FirstUnitItem& a, const CLogicalDriver::FirstUnitItem& b) {
  return a.nUnit != b.nUnit ? a.nUnit < b.nUnit : a.bDeleted < b.bDeleted;
}

// The index of where the volume's file-system items begin: made once per volume, when it is
// first asked for, a vector sorted by unit.
std::vector<CLogicalDriver::FirstUnitItem>& FirstUnitIndex(CLogicalDriver& volume) {
  auto& items = volume.m_firstUnitItems;
  if (!volume.m_bFirstUnitItemsMade) {
    volume.m_bFirstUnitItemsMade = true;
    volume.CollectFirstUnits(items);
    std::stable_sort(items.begin(), items.end(), UnitOrder);
    items.shrink_to_fit();
  }
  return items;
}

// The file-system item that begins at unit, if any, searched by halves.
const CLogicalDriver::FirstUnitItem* ItemAt(CLogicalDriver& volume, uint64_t unit) {
  const auto& items = FirstUnitIndex(volume);
  auto it = std::lower_bound(items.begin(), items.end(), unit, [](const auto& item, uint64_t u) { return item.nUnit < u; });
  return it != items.end() && it->nUnit == unit ? &*it : nullptr;
}
}  // namespace

CFSFile* AddCarvedFile(CLogicalDriver& volume, uint64_t unit, const std::u16string& extension, uint64_t length,
                       CUnitBitmap* visited) {
  if (!volume.m_pLostFolder || volume.m_nBytesPerCluster == 0) return nullptr;
  std::unique_ptr<CFSFile> file = volume.NewCarvedFile(unit);
  if (!file) return nullptr;
  const uint64_t units = length / volume.m_nBytesPerCluster + (length % volume.m_nBytesPerCluster ? 1 : 0);
  file->m_strName = text::Widen(fmt::format("FILE_{}.", volume.m_pLostFolder->m_children.size() + 1)) + extension;
  file->m_strExtension = extension;
  file->m_nSize = length;
  file->m_nAllocatedSize = units * volume.m_nBytesPerCluster;
  if (const auto* item = ItemAt(volume, unit)) {
    file->m_strFsPath = item->strPath;
    file->m_bFsDeleted = item->bDeleted;
  }
  auto* added = static_cast<CFSFile*>(Append(volume, std::move(file), STATUS_EXCELLENT, StatusReason::Carved));
  // The units the file covers are passed over by the scan; the volume's last unit itself
  // is never marked here (the scan's own step reaches it).
  if (visited && unit >= volume.m_nFirstUnit)
    for (uint64_t k = 0; k < units && unit + k < volume.m_nLastUnit; ++k) visited->Set(unit + k);
  return added;
}

CDirectory* AddLostFolder(CLogicalDriver& volume, std::unique_ptr<CDirectory> folder, bool wasRoot) {
  if (!volume.m_pLostFolder || !folder) return nullptr;
  const size_t number = volume.m_pLostFolder->m_children.size() + 1;
  folder->m_strName = text::Widen(wasRoot ? fmt::format("dir_{} (Root)", number) : fmt::format("dir_{}", number));
  return static_cast<CDirectory*>(Append(volume, std::move(folder), STATUS_GOOD, StatusReason::LostFolderGroup));
}

void AddFirstUnitItems(CLogicalDriver& volume, std::vector<CLogicalDriver::FirstUnitItem> items) {
  if (items.empty()) return;
  auto& index = FirstUnitIndex(volume);
  std::stable_sort(items.begin(), items.end(), UnitOrder);
  // Files carved before the scan reached the folder, at the first unit of one of its files,
  // take that name now. The results folder holds its nodes in scan order, so by growing
  // first unit.
  if (CDirectory* results = volume.m_pLostFolder) {
    const auto& children = results->m_children;
    auto startOf = [&](const std::unique_ptr<CDirEntry>& node) {
      uint64_t unit = 0;
      return volume.ResultStartUnit(*node, unit) ? unit : UINT64_MAX;
    };
    std::vector<std::pair<CFSFile*, const CLogicalDriver::FirstUnitItem*>> named;
    for (const auto& item : items) {
      auto it = std::lower_bound(children.begin(), children.end(), item.nUnit,
                                 [&](const auto& node, uint64_t unit) { return startOf(node) < unit; });
      for (; it != children.end() && startOf(*it) == item.nUnit; ++it)
        if (auto* file = dynamic_cast<CFSFile*>(it->get()); file && file->m_strFsPath.empty())
          named.push_back({file, &item});
    }
    if (!named.empty())
      FrontEndHooks().ChangeResults(results, [&] {
        for (auto& [file, item] : named)
          if (file->m_strFsPath.empty()) file->m_strFsPath = item->strPath, file->m_bFsDeleted = item->bDeleted;
      });
  }
  const auto middle = index.insert(index.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
  std::inplace_merge(index.begin(), middle, index.end(), UnitOrder);
}

bool ResultStartOf(CLogicalDriver& volume, const CDirEntry& node, ResultStart& start) {
  if (!volume.m_pLostFolder || node.m_pParent != volume.m_pLostFolder) return false;
  uint64_t unit = 0;
  if (!volume.ResultStartUnit(node, unit)) return false;
  start.nUnit = unit;
  start.nByteOffset = volume.SourceByteOffset(unit);
  return true;
}
