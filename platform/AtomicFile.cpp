#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error) {
  const std::string tmp = path + ".tmp";
  auto fail = [&](const std::string& where, int e) {
    if (error) *error = where + ": " + std::strerror(e);
    ::unlink(tmp.c_str());
    return false;
  };
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = tmp + ": " + std::strerror(errno);
    return false;
  }
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      return fail(tmp, e);
    }
    p += n;
    left -= size_t(n);
  }
  if (::fsync(fd) != 0) {
    int e = errno;
    ::close(fd);
    return fail(tmp, e);
  }
  if (::close(fd) != 0) return fail(tmp, errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(path, errno);
  // The rename itself reaches the disk with the folder.
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, std::max<size_t>(slash, 1));
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return true;
}
