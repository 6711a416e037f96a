#include "cli/TreeWalk.h"

#include <sstream>

#include "platform/Text.h"

namespace {
bool SameIgnoringCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = char16_t(x - 32);
    if (y >= u'a' && y <= u'z') y = char16_t(y - 32);
    if (x != y) return false;
  }
  return true;
}
}  // namespace

void LoadFolder(CDirectory* folder, bool allFiles) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, !allFiles, false);
}

void LoadTree(CDirectory* folder, bool allFiles, int depth) {
  LoadFolder(folder, allFiles);
  if (depth >= kMaxFolderDepth) return;
  for (size_t i = 0; i < folder->m_children.size(); ++i)
    if (CDirEntry* c = folder->m_children[i].get(); c && c->IsDirectory())
      LoadTree(static_cast<CDirectory*>(c), allFiles, depth + 1);
}

std::vector<CDirEntry*> FindItems(CDirectory* root, const std::string& path, bool allFiles) {
  std::vector<std::string> parts;
  std::stringstream in(path);
  std::string part;
  while (std::getline(in, part, '/'))
    if (!part.empty()) parts.push_back(part);
  if (parts.empty()) return {root};
  std::vector<CDirectory*> level{root};
  std::vector<CDirEntry*> found;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::u16string name = text::FromUtf8(parts[i]);
    std::vector<CDirectory*> next;
    found.clear();
    // Exact names first; FAT short names are stored in capitals, so a path typed in
    // other letter cases is matched ignoring case when nothing matches exactly.
    for (bool ignoreCase : {false, true}) {
      for (CDirectory* folder : level) {
        LoadFolder(folder, allFiles);
        for (const auto& child : folder->m_children) {
          if (!child || !(ignoreCase ? SameIgnoringCase(child->m_strName, name) : child->m_strName == name)) continue;
          found.push_back(child.get());
          if (child->IsDirectory()) next.push_back(static_cast<CDirectory*>(child.get()));
        }
      }
      if (!found.empty()) break;
    }
    if (i + 1 < parts.size()) level = std::move(next);
  }
  return found;
}
