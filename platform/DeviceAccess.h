// Opening disks the user may not read directly.
//
// A disk's block device is readable by root and the "disk" group only. Every open of a device
// or image path (CRawDevice::OpenPath, the libblkid probes) comes here. When open(2) fails
// with EACCES or EPERM, a broker installed by the front end may hand over a read-only
// descriptor instead: the GUI asks the desktop's UDisks2 service, whose polkit agent asks the
// user for a password. The descriptor is then read like any other; nothing above this layer
// knows where it came from.
//
// The broker is asked once per path in a run. A descriptor it gave is kept and duplicated
// for every later open of the path, for as long as the path still names the same device
// (a disk unplugged and another plugged in under the same name is asked for again). A refusal
// is kept too, so the user is not asked again and again. Without a broker (the command line,
// a server), or when it refuses, the open fails with one message that names the path and
// says how to get access.
//
// A descriptor from a broker is checked before use: it must be open read-only and refer to
// the very file or device the path names; otherwise it is closed and the open is refused.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace devaccess {

class IAccessBroker {
 public:
  virtual ~IAccessBroker() = default;
  // A read-only descriptor of path that the caller then owns, or -1 with *why set to a
  // short sentence saying why not (shown to the user after the access message). Called from
  // any thread, never two calls at a time.
  virtual int OpenReadOnly(const std::string& path, std::string* why) = 0;
};

// Installs broker (not owned; it must outlive its installation; null removes it). The
// answers of the broker installed before, and the descriptors it gave, are dropped.
void SetBroker(IAccessBroker* broker);

// Opens path read-only (O_RDONLY | O_CLOEXEC); on EACCES or EPERM asks the broker, once per
// path. Answers a descriptor the caller owns and closes, or -1 with errno set (EACCES when
// access was refused) and *error (optional) a one-line reason that starts with the path.
int OpenReadOnly(const std::string& path, std::string* error);

// Localises the access texts: given a language-file key and its English text, answers the
// text to use (UTF-8). The application installs it once the language file is chosen; without
// it the English texts are used.
void SetTextLookup(std::function<std::string(const char* key, const char* english)> lookup);

// The message for paths that may not be read: paths joined by ", ", disk whether they are
// devices (join the "disk" group) rather than files, and the broker's reason appended when
// there is one.
std::string AccessDeniedText(const std::string& paths, bool disk, const std::string& brokerWhy = {});

// A refused open, as the front ends report it.
struct Denial {
  std::string strPath;
  bool bDisk = false;        // a block device (else a file)
  std::string strBrokerWhy;  // the broker's reason; empty without a broker
};
// The paths refused since the last call, each once, in the order they were refused.
std::vector<Denial> TakeDenials();
// The messages for denials: one per distinct kind and reason, the paths of each joined.
std::vector<std::string> DenialMessages(const std::vector<Denial>& denials);

}  // namespace devaccess
