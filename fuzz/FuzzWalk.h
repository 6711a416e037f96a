// What the volume harnesses share: a walk of a volume's tree the way the program walks one,
// and an output that only counts what a file writes.
//
// The harnesses bound nothing of their own beyond the input's size: the depth of the walk,
// the size of what a file writes and the length of a scan are the core's own bounds
// (kMaxFolderDepth, the stream reader's mapped extent, the scan's device end), so a fault in
// one of those shows up here as a time-out or an exhausted memory limit instead of being
// hidden by the harness.
#pragma once

#include <cstdint>
#include <functional>

#include "tree/DirEntry.h"
#include "tree/OutputFile.h"

// Counts the bytes a file writes, keeping none: holes cost nothing.
class CCountingOutput final : public IOutputFile {
 public:
  bool Write(const void*, size_t len) override {
    m_nBytes += len;
    return true;
  }
  bool WriteZeros(uint64_t n) override {
    m_nBytes += n;
    return true;
  }
  uint64_t m_nBytes = 0;
};

// Loads every folder below folder (existing and deleted items), asks what the views ask of
// each node, and writes every file out; skip is a folder the walk leaves alone.
inline void WalkTree(CDirectory* folder, const CDirectory* skip, const std::function<void(CFSFile*)>& onFile,
                     int depth = 0) {
  if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
  (void)folder->HasSubfolders(true);
  for (size_t i = 0; i < folder->m_children.size(); ++i) {
    CDirEntry* child = folder->m_children[i].get();
    if (!child || child == skip) continue;
    (void)child->GetCreatedText();
    (void)child->GetAccessedText();
    if (child->IsDirectory()) {
      if (depth + 1 < kMaxFolderDepth) WalkTree(static_cast<CDirectory*>(child), skip, onFile, depth + 1);
    } else {
      auto* file = static_cast<CFSFile*>(child);
      if (onFile) onFile(file);
      CCountingOutput out;
      (void)file->WriteContent(out, nullptr, 0);
    }
  }
}
