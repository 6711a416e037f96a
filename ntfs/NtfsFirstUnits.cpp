// The index of where the volume's files begin, for naming carved files: every base record
// whose unnamed $DATA is non-resident and begins with an allocated run, named by its long
// name and the names of its parent folders up to the root.
#include <unordered_map>

#include "ntfs/NTFSDriver.h"
#include "ntfs/NTFSLayout.h"
#include "ntfs/NtfsStream.h"
#include "tree/DirEntry.h"

using namespace ntfsrecord;

namespace {
constexpr uint64_t kRootRecord = 5;
}  // namespace

void CNTFSDriver::CollectFirstUnits(std::vector<FirstUnitItem>& items) {
  if (!m_bMftLoaded) ScanMft(nullptr);
  if (!m_bMftLoaded) return;
  // Folder record -> its path ("" for the root); a folder that cannot be reached from the
  // root (lost, looping, too deep) has none, and its files are left out.
  std::unordered_map<uint64_t, std::optional<std::u16string>> folderPaths;
  folderPaths[kRootRecord] = std::u16string();
  auto folderPath = [&](uint64_t folder) -> const std::optional<std::u16string>& {
    if (auto it = folderPaths.find(folder); it != folderPaths.end()) return it->second;
    // The chain up to a folder whose path is known, then back down.
    std::vector<std::pair<uint64_t, std::u16string>> chain;
    uint64_t at = folder;
    bool reached = false;
    while (chain.size() < size_t(kMaxFolderDepth)) {
      if (folderPaths.count(at)) {
        reached = folderPaths[at].has_value();
        break;
      }
      const uint8_t* r = ImageRecord(at);
      AttributeView a = r ? FindAttribute({r, m_nRecordSize}, kFileName) : AttributeView{};
      if (!a || !(bytes::RawLE16(r + kFlags) & kFlagFolder)) break;
      NtfsFileNameView name(a.Value());
      if (!name.Valid()) break;
      chain.emplace_back(at, name.Name());
      at = name.Parent();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      std::optional<std::u16string> path;
      if (reached) {
        const auto& parent = folderPaths[at];
        path = parent->empty() ? it->second : *parent + u"/" + it->second;
      }
      folderPaths[it->first] = path;
      at = it->first;
    }
    if (!folderPaths.count(folder)) folderPaths[folder] = std::nullopt;
    return folderPaths[folder];
  };
  for (uint64_t d = 0; d < m_nRecordCount; ++d) {
    const uint8_t* r = ImageRecord(d);
    if (!r || (bytes::RawLE64(r + kBaseRecord) & kRecordNumberMask) != 0) continue;
    const uint16_t flags = bytes::RawLE16(r + kFlags);
    if (flags & kFlagFolder) continue;
    const std::span<const uint8_t> record(r, m_nRecordSize);
    AttributeView data = FindNamedAttribute(record, kData, u"");
    if (!data || !data.NonResident() || data.FirstVcn() != 0) continue;
    NtfsStream s;
    auto rl = data.RunList();
    if (DecodeRunList(rl.data(), rl.size(), 0, m_nClusterCount, s.runs) != RunListResult::Ok) continue;
    uint64_t lcn;
    if (!FirstClusterOf(s, lcn)) continue;
    AttributeView a = FindAttribute(record, kFileName);
    if (!a) continue;
    NtfsFileNameView name(a.Value());
    if (!name.Valid() || name.NameLength() == 0 || name.NameUnit(0) == u'$') continue;
    const auto& parent = folderPath(name.Parent());
    if (!parent) continue;
    items.push_back({lcn, parent->empty() ? name.Name() : *parent + u"/" + name.Name(), !(flags & kFlagInUse)});
  }
}
