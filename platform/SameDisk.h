// Whether a destination folder lies on the disk being recovered from.
//
// Writing recovered files onto the disk that holds the deleted data can overwrite that very
// data, so both front ends warn (or refuse) when the destination shares a whole disk with the
// source. A source that is an image file never triggers this: its contents are the file's
// own allocated blocks, which writing elsewhere cannot reuse.
#pragma once

#include <string>
#include <sys/types.h>

// The whole disk ("sda", "nvme0n1", "vda") that holds the block device number dev, from
// /sys/dev/block; a partition gives its disk. Empty when sysfs does not know the number
// (an anonymous device of btrfs, overlayfs or tmpfs).
std::string WholeDiskOf(dev_t dev);

// The whole disk that holds the file system of path (which must exist): from the file
// system's device number, or, when that is an anonymous number, from the mount source that
// /proc/self/mountinfo gives for it. Empty when no disk can be told (tmpfs, network).
std::string WholeDiskOfPath(const std::string& path);

// path itself when it exists, otherwise its nearest existing parent ("." for a relative
// path none of whose parents exist); empty only for an empty path.
std::string NearestExistingPath(const std::string& path);

// Whether folder lies on the same whole disk as sourcePath (a block device; an image file
// answers false). The folder need not exist yet: its nearest existing parent is tested.
// Nothing is opened: both are only stat()ed.
bool IsOnSameDisk(const std::string& folder, const std::string& sourcePath);
