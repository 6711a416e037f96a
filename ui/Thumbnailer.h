// Thumbnails through freedesktop thumbnailers.
#pragma once

#include <cstdint>
#include <string_view>

#include <QImage>

class CFSFile;

// The position of an extension (compared in upper case) in the table of thumbnail types,
// which is also the reserved temporary name's position; -1 when it has none.
int ThumbnailTypeIndex(std::u16string_view extension);
// A thumbnail of the file from a freedesktop thumbnailer (.thumbnailer files in the
// "thumbnailers" folder of $XDG_DATA_HOME, then of each $XDG_DATA_DIRS folder) registered for
// the MIME type of the file's extension. The file is saved into a private temporary folder,
// the thumbnailer runs there with at most timeoutMs, and the folder is removed. False when
// the type has no thumbnail, no thumbnailer is installed for it, or it produced no picture.
bool GetShellThumbnail(CFSFile* item, QImage* out, int width, int height, int timeoutMs = 10000);
