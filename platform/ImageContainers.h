// Disk images kept in containers: EWF (E01/Ex01), VHD and VHDX, QCOW and QCOW2, VMDK, and raw
// images split into numbered parts. E01 and QCOW2 are read by our own readers
// (platform/EwfImage.h, platform/Qcow2Image.h), the others through the libyal libraries.
//
// Each container is a read-only CRawDevice whose bytes are the disk it holds, so every reader
// above (volumes, the deep scan, the lost-partition search, the hex view) works on it as on a
// raw image, through the same read-ahead window. A container is recognised by its signature,
// never by its file name; only split raw images, which have no signature, are recognised by
// their part names (NAME.001, NAME.002, ... or NAME.aa, NAME.ab, ...). A container that is
// recognised but cannot be opened whole (bad header, a missing segment or parent, a
// truncated file, encryption) is refused with a reason; it is never read as a raw image.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CRawDevice;
struct libdeflate_decompressor;

namespace container {

// What OpenContainer decided about a file.
enum class Outcome {
  NotContainer,  // a plain raw image: read it as it is
  Opened,        // *device holds the container's disk
  Refused,       // a container that cannot be read; *error says why
};

// Looks at the open image file fd (size bytes; the caller keeps owning fd) and opens the
// container it holds. The first bytes decide; only when they carry no container signature
// are the split-raw part names looked at.
Outcome OpenContainer(const std::string& path, int fd, uint64_t size, std::shared_ptr<CRawDevice>* device,
                      std::string* error);

// A parent image named inside a child (a VHD's or QCOW2's backing file): as written when it
// exists (relative to the child's folder), else the same name beside the child (images are
// moved between machines, and a VHD records a Windows path). Empty when neither is a file.
std::string FindParent(const std::string& child, const std::string& recorded);

// What our own readers (E01, QCOW2) share:
// - a byte offset as their messages give it, "N (0xN)";
std::string Hex(uint64_t offset);
// - the calling thread's libdeflate decompressor, made on first use and freed with the thread
//   (null when it cannot be made).
libdeflate_decompressor* ThreadDecompressor();

}  // namespace container
