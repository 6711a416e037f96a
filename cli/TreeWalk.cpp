#include "cli/TreeWalk.h"

#include <sstream>

#include "platform/Text.h"

void LoadFolder(CDirectory* folder, bool allFiles) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, !allFiles, false);
}

std::string ItemPath(const CDirEntry* item) {
  std::string path;
  for (const CDirEntry* n = item; n && n->m_pParent; n = n->m_pParent)
    path = text::ToUtf8(n->m_strName) + (path.empty() ? "" : "/" + path);
  return path;
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
    for (CDirectory* folder : level) {
      LoadFolder(folder, allFiles);
      for (const auto& child : folder->m_children) {
        if (!child || child->m_strName != name) continue;
        found.push_back(child.get());
        if (child->IsDirectory()) next.push_back(static_cast<CDirectory*>(child.get()));
      }
    }
    if (i + 1 < parts.size()) level = std::move(next);
  }
  return found;
}
