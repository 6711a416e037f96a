// Replacing a small file so that a crash leaves either its old or its new content.
#pragma once

#include <string>
#include <string_view>

// Writes text to path atomically: a temporary file beside it (path + ".tmp") is written,
// flushed to the disk and renamed over path, and the folder is flushed, so the rename itself
// lasts. False with *error (the file and the system's reason); path is then unchanged.
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error);
