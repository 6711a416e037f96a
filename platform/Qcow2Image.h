// Quarrow's own reader of QCOW2 disk images (versions 2 and 3, as qemu-img and QEMU write
// them). Version 1 QCOW and the variants this reader does not take (encryption, an external
// data file, extended L2 entries, zstd compression, unknown feature bits) are read through
// libqcow (platform/ImageContainers.cpp).
//
// The image is a device like any other: its bytes are the virtual disk's. A standard cluster
// is read with one pread into the caller's buffer (neighbouring clusters that lie side by side
// in the file with one pread together), a compressed one is inflated, an unallocated one reads
// from the backing file or as zeros. A cluster the tables place past the end of the file, and
// a compressed cluster that does not inflate, read as an unreadable area, as a bad sector does.
#pragma once

#include <memory>
#include <string>

class CRawDevice;

namespace qcow2 {

enum class Opening {
  Opened,       // *device holds the image's disk
  NotQcow2,     // the file does not start with the QCOW magic
  Unsupported,  // a QCOW variant this reader does not take (another reader may); *error says which
  Refused,      // a damaged image, or one whose backing file cannot be opened; *error names the image and what is wrong
};

// Opens the QCOW2 image at path, with its backing files (each found as written in its child,
// else beside it; raw or any image CRawDevice::OpenPath opens; at most 16 deep).
Opening OpenImage(const std::string& path, std::shared_ptr<CRawDevice>* device, std::string* error);

}  // namespace qcow2
