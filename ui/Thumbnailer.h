// Thumbnails of document and media files from freedesktop thumbnailers, for the preview pane's
// types that have no preview of their own (PDF, PSD, office files, HTML, videos, sound, ...).
//
// A thumbnailer is a key file "*.thumbnailer" in the "thumbnailers" folder of $XDG_DATA_HOME,
// then of each $XDG_DATA_DIRS folder, naming a program and the MIME types it serves. The file
// is saved into a private temporary folder under a reserved temporary name, the program runs
// there with a time limit, and the folder is removed with everything in it.
#pragma once

#include <QImage>
#include <string_view>

class CFSFile;

// The position of an extension (compared in upper case) in the table of thumbnail types,
// which is also the reserved temporary name's position; -1 when it has none.
int ThumbnailTypeIndex(std::u16string_view extension);

// A thumbnail of the file from a thumbnailer registered for the MIME type of the file's
// extension, at most timeoutMs to start and as long again to finish. False when the type has
// no thumbnail, no thumbnailer is installed for it, or it produced no picture.
bool GetShellThumbnail(CFSFile* item, QImage* out, int width, int height, int timeoutMs = 10000);
