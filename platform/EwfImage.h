// Quarrow's own reader of EWF version 1 disk images (E01: the "EVF" segment files written by
// ewfacquire, ewfexport, EnCase 1 to 7, linen and FTK Imager). Ex01 (EWF version 2) and what
// this reader does not take are read through libewf (platform/ImageContainers.cpp).
//
// The image is a device like any other: its bytes are the acquired disk's. Each chunk (32 KiB
// by default) is stored zlib-compressed or as is followed by its Adler-32; a chunk that does
// not inflate or fails its checksum reads as an unreadable area, as a bad sector does on a
// disk. Sequential readers are served from chunks inflated ahead of them on a second thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CRawDevice;

namespace ewf {

enum class Opening {
  Opened,       // *device holds the image's disk
  NotEwf1,      // the file does not start with an EWF version 1 segment header
  Unsupported,  // an EWF version 1 variant this reader does not take (another reader may)
  Refused,      // a damaged or incomplete image; *error names the image and what is wrong
};

// Opens the EWF image whose first segment is path. The other segments are found beside it by
// name (NAME.E02 ... NAME.E99, NAME.EAA ... NAME.ZZZ; lower case when the first is) and must
// carry the segment numbers 2, 3, ... in that order.
Opening OpenImage(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error);

// The name of segment number (1 to 14,971) of the image whose first segment is firstPath:
// NAME.E01 gives NAME.E02 ... NAME.E99, then NAME.EAA ... NAME.EZZ, NAME.FAA ... NAME.ZZZ. Empty
// when firstPath does not end in a first segment's extension (.E01, .e01, .s01, ...) or the
// names run out.
std::string SegmentName(const std::string& firstPath, uint32_t number);

}  // namespace ewf
