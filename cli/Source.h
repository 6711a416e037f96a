// Resolving a command's SOURCE argument into a volume of the document.
#pragma once

#include <string>

#include "app/Document.h"

struct SourceOptions {
  std::string strSource;
};

// The virtual volume of the disk (image or block device) at path, added to doc. Null
// with *error when the path cannot be opened.
CLogicalDriver* OpenDiskAsVirtualVolume(CKelvoDoc& doc, const std::string& path, std::string* error);

// Whether a folder lies on the same disk as the source path (a block device or a file on
// it): writing there could overwrite the data being recovered.
bool IsOnSameDisk(const std::string& folder, const std::string& sourcePath);
