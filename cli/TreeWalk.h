// Finding items of a volume's tree by their '/'-separated paths from the root, as the
// list command prints them and the recover command takes them.
#pragma once

#include <string>
#include <vector>

#include "tree/DirEntry.h"

// Loads a folder the way the tree shows it (deleted files only), or with every file.
void LoadFolder(CDirectory* folder, bool allFiles);
// Loads a folder and every folder below it (bounded in depth), so that a later save
// sees every file when allFiles is set.
void LoadTree(CDirectory* folder, bool allFiles, int depth = 0);
// Every item whose path is path ("" names the root); loads the folders on the way.
std::vector<CDirEntry*> FindItems(CDirectory* root, const std::string& path, bool allFiles);
