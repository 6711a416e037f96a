#include "platform/DeviceAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace devaccess {
namespace {

const char kDiskDeniedKey[] = "IDS_DISK_ACCESS_DENIED";
const char kDiskDeniedText[] =
    "%s: permission denied. Reading a disk needs read access to its device: add yourself to the \"disk\" group "
    "(sudo usermod -aG disk $USER) and log in again, or run quarrow-cli with sudo.";
const char kFileDeniedKey[] = "IDS_FILE_ACCESS_DENIED";
const char kFileDeniedText[] =
    "%s: permission denied. Reading this file needs read access to it: ask its owner to grant it (chmod, chgrp), "
    "or run quarrow-cli with sudo.";

// What the broker answered for one path, and which file or device the path named then.
struct Answer {
  int fd = -1;  // the descriptor it gave (kept, duplicated for every open); -1 refused
  struct stat named {};
  std::string strWhy;
};

struct State {
  std::mutex mutex;  // held across a broker call: two threads opening one disk ask once
  IAccessBroker* pBroker = nullptr;
  std::map<std::string, Answer> answers;
  std::vector<Denial> denials;
  std::mutex textMutex;
  std::function<std::string(const char*, const char*)> lookup;
};

State& TheState() {
  static State s;
  return s;
}

void DropAnswers(State& s) {
  for (auto& [path, answer] : s.answers)
    if (answer.fd >= 0) ::close(answer.fd);
  s.answers.clear();
}

// Whether a and b describe the same device (block devices by device number) or file.
bool SameObject(const struct stat& a, const struct stat& b) {
  if (S_ISBLK(a.st_mode) != S_ISBLK(b.st_mode)) return false;
  if (S_ISBLK(a.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Checks a descriptor from the broker: read-only, and the object the path names. Closes it
// and answers -1 with *why otherwise.
int CheckBrokerFd(int fd, const struct stat& named, std::string* why) {
  struct stat got {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
    ::close(fd);
    *why = "The descriptor handed over was not read-only and was not used.";
    return -1;
  }
  if (::fstat(fd, &got) != 0 || !SameObject(got, named)) {
    ::close(fd);
    *why = "The descriptor handed over was for another file or device and was not used.";
    return -1;
  }
  return fd;
}

std::string FillIn(std::string text, const std::string& value) {
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

}  // namespace

void SetBroker(IAccessBroker* broker) {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  DropAnswers(s);
  s.pBroker = broker;
}

void SetTextLookup(std::function<std::string(const char* key, const char* english)> lookup) {
  State& s = TheState();
  std::lock_guard lock(s.textMutex);
  s.lookup = std::move(lookup);
}

std::string AccessDeniedText(const std::string& paths, bool disk, const std::string& brokerWhy) {
  State& s = TheState();
  const char* key = disk ? kDiskDeniedKey : kFileDeniedKey;
  const char* english = disk ? kDiskDeniedText : kFileDeniedText;
  std::string text;
  {
    std::lock_guard lock(s.textMutex);
    text = s.lookup ? s.lookup(key, english) : std::string(english);
  }
  if (text.find("%s") == std::string::npos) text = english;
  text = FillIn(text, paths);
  if (!brokerWhy.empty()) text += " " + brokerWhy;
  return text;
}

int OpenReadOnly(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) return fd;
  const int openErrno = errno;
  if (openErrno != EACCES && openErrno != EPERM) {
    if (error) *error = fmt::format("{}: {}", path, std::strerror(openErrno));
    errno = openErrno;
    return -1;
  }
  // The path itself can be looked at without read access: it tells a disk from a file and
  // lets a kept answer be checked against what the path names now.
  struct stat named {};
  const bool statted = ::stat(path.c_str(), &named) == 0;
  const bool disk = statted && S_ISBLK(named.st_mode);

  State& s = TheState();
  std::unique_lock lock(s.mutex);
  auto kept = s.answers.find(path);
  if (kept != s.answers.end() && statted && SameObject(kept->second.named, named)) {
    if (kept->second.fd >= 0) {
      fd = ::fcntl(kept->second.fd, F_DUPFD_CLOEXEC, 0);
      if (fd >= 0) return fd;
      const int e = errno;
      if (error) *error = fmt::format("{}: {}", path, std::strerror(e));
      errno = e;
      return -1;
    }
    if (error) *error = AccessDeniedText(path, disk, kept->second.strWhy);
    errno = EACCES;
    return -1;
  }
  if (kept != s.answers.end()) {
    // The path names another device now (a disk swapped under the same name): ask again.
    if (kept->second.fd >= 0) ::close(kept->second.fd);
    s.answers.erase(kept);
  }

  Answer answer;
  answer.named = named;
  if (s.pBroker && statted) {
    std::string why;
    int given = s.pBroker->OpenReadOnly(path, &why);
    if (given >= 0) given = CheckBrokerFd(given, named, &why);
    if (given >= 0) {
      answer.fd = given;
      fd = ::fcntl(given, F_DUPFD_CLOEXEC, 0);
      const int e = errno;
      s.answers.emplace(path, std::move(answer));
      if (fd >= 0) return fd;
      if (error) *error = fmt::format("{}: {}", path, std::strerror(e));
      errno = e;
      return -1;
    }
    answer.strWhy = why;
  }
  if (error) *error = AccessDeniedText(path, disk, answer.strWhy);
  s.denials.push_back({path, disk, answer.strWhy});
  if (statted) s.answers.emplace(path, std::move(answer));
  errno = EACCES;
  return -1;
}

std::vector<Denial> TakeDenials() {
  State& s = TheState();
  std::lock_guard lock(s.mutex);
  std::vector<Denial> out;
  out.swap(s.denials);
  return out;
}

std::vector<std::string> DenialMessages(const std::vector<Denial>& denials) {
  // Grouped by kind and reason, in the order each group first appears.
  std::vector<std::pair<const Denial*, std::string>> groups;
  for (const Denial& d : denials) {
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
      return g.first->bDisk == d.bDisk && g.first->strBrokerWhy == d.strBrokerWhy;
    });
    if (it == groups.end()) groups.emplace_back(&d, d.strPath);
    else if ((", " + it->second + ",").find(", " + d.strPath + ",") == std::string::npos) it->second += ", " + d.strPath;
  }
  std::vector<std::string> out;
  for (const auto& [first, paths] : groups) out.push_back(AccessDeniedText(paths, first->bDisk, first->strBrokerWhy));
  return out;
}

}  // namespace devaccess
