#include "support/Fixtures.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#ifndef QUARROW_FIXTURE_DIR
#error QUARROW_FIXTURE_DIR must name the tests/fixtures source folder
#endif

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// SHA-256
// ---------------------------------------------------------------------------------------------

std::string Sha256Hex(std::string_view data) {
  CSha256 sha;
  sha.Update(data.data(), data.size());
  return sha.FinalHex();
}

std::string Sha256OfFile(const std::string& path) {
  std::string hex, error;
  if (!::Sha256OfFile(path, &hex, &error)) throw std::runtime_error(error);
  return hex;
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------

const std::string& RemovedAtExit(const std::string& path) {
  static std::mutex s_mutex;
  static std::vector<std::string>* s_paths = [] {
    std::atexit([] {
      std::error_code ec;
      for (const auto& p : *s_paths) fs::remove_all(p, ec);
    });
    return new std::vector<std::string>;
  }();
  std::lock_guard lock(s_mutex);
  s_paths->push_back(path);
  return path;
}

std::string ShellQuote(const std::string& text) {
  std::string strQuoted = "'";
  for (char c : text) {
    if (c == '\'') {
      strQuoted += "'\\''";
    } else {
      strQuoted += c;
    }
  }
  strQuoted += '\'';
  return strQuoted;
}

int RunCommand(const std::string& cmd, std::string* out, std::string* err) {
  if (out) out->clear();
  if (err) err->clear();
  int aOut[2], aErr[2];
  if (::pipe2(aOut, O_CLOEXEC) != 0) return -1;
  if (::pipe2(aErr, O_CLOEXEC) != 0) {
    ::close(aOut[0]);
    ::close(aOut[1]);
    return -1;
  }
  int fdNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fdNull < 0 ? -1 : ::fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec. dup2 clears close-on-exec on the copies.
    ::dup2(fdNull, STDIN_FILENO);
    ::dup2(aOut[1], STDOUT_FILENO);
    ::dup2(aErr[1], STDERR_FILENO);
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (fdNull >= 0) ::close(fdNull);
  ::close(aOut[1]);
  ::close(aErr[1]);
  if (pid < 0) {
    ::close(aOut[0]);
    ::close(aErr[0]);
    return -1;
  }

  // Drain both pipes together: a child that fills one while we block on the other would
  // otherwise never finish.
  struct pollfd aPoll[2] = {{aOut[0], POLLIN, 0}, {aErr[0], POLLIN, 0}};
  std::string* aSink[2] = {out, err};
  char buffer[65536];
  int nOpen = 2;
  while (nOpen > 0) {
    if (::poll(aPoll, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (aPoll[i].fd < 0 || aPoll[i].revents == 0) continue;
      ssize_t nRead = ::read(aPoll[i].fd, buffer, sizeof buffer);
      if (nRead < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (nRead <= 0) {
        ::close(aPoll[i].fd);
        aPoll[i].fd = -1;
        --nOpen;
        continue;
      }
      if (aSink[i]) aSink[i]->append(buffer, size_t(nRead));
    }
  }
  for (auto& p : aPoll) {
    if (p.fd >= 0) ::close(p.fd);
  }

  int nStatus = 0;
  while (::waitpid(pid, &nStatus, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(nStatus)) return WEXITSTATUS(nStatus);
  if (WIFSIGNALED(nStatus)) return 128 + WTERMSIG(nStatus);
  return -1;
}

// ---------------------------------------------------------------------------------------------
// Fixture images
// ---------------------------------------------------------------------------------------------

CFileLock::CFileLock(const std::string& path) {
  m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (m_fd < 0) throw std::runtime_error("cannot open lock file " + path + ": " + std::strerror(errno));
  while (::flock(m_fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int nError = errno;
    ::close(m_fd);
    throw std::runtime_error("cannot lock " + path + ": " + std::strerror(nError));
  }
}

CFileLock::~CFileLock() { ::close(m_fd); }

static bool IsUsableDir(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return fs::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string FixtureOutputDir(const char* envVar, const std::string& besideBinary, const std::string& tmpPrefix) {
  if (const char* pEnv = std::getenv(envVar); pEnv && *pEnv) {
    if (!IsUsableDir(pEnv)) throw std::runtime_error(std::string("cannot create fixture folder ") + pEnv);
    return pEnv;
  }
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && IsUsableDir(exe.parent_path() / besideBinary)) return (exe.parent_path() / besideBinary).string();
  const char* pTmp = std::getenv("TMPDIR");
  fs::path dir = fs::path(pTmp && *pTmp ? pTmp : "/tmp") / (tmpPrefix + std::to_string(::getuid()));
  if (!IsUsableDir(dir)) throw std::runtime_error("cannot create fixture folder " + dir.string());
  return dir.string();
}

namespace {

// A set is current when its manifest is not older than the script and every image it lists
// is there with its recorded size.
bool IsCurrent(const fs::path& dir, const fs::path& manifest, const fs::path& script) {
  std::error_code ec;
  auto manifestTime = fs::last_write_time(manifest, ec);
  if (ec) return false;
  auto scriptTime = fs::last_write_time(script, ec);
  if (ec || scriptTime > manifestTime) return false;
  try {
    std::ifstream in(manifest);
    nlohmann::json json = nlohmann::json::parse(in);
    const auto& images = json.at("images");
    if (images.empty()) return false;
    for (const auto& image : images) {
      uintmax_t nSize = fs::file_size(dir / image.at("name").get<std::string>(), ec);
      if (ec || nSize != image.at("size").get<uintmax_t>()) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

std::string BuildFixtures() {
  return BuildFixtureSet("make_fs_images.sh", "manifest.json",
                         FixtureOutputDir("QUARROW_FIXTURE_OUT", "fixture-images", "quarrow-fixtures-"));
}

}  // namespace

std::string BuildFixtureSet(const std::string& scriptName, const std::string& manifestName, const std::string& out) {
  fs::path script = fs::path(QUARROW_FIXTURE_DIR) / scriptName;
  if (!fs::exists(script)) throw std::runtime_error("fixture script missing: " + script.string());
  fs::path dir = out;
  CFileLock lock(dir / ".lock");
  if (!IsCurrent(dir, dir / manifestName, script)) {
    std::string strOut, strErr;
    int nStatus = RunCommand("bash " + ShellQuote(script.string()) + " " + ShellQuote(dir.string()),
                             &strOut, &strErr);
    if (nStatus != 0) {
      throw std::runtime_error("fixture script " + script.string() + " failed with status " +
                               std::to_string(nStatus) + ":\n" + strOut + strErr);
    }
    if (!IsCurrent(dir, dir / manifestName, script)) {
      throw std::runtime_error("fixture script " + script.string() +
                               " finished but left no complete set in " + dir.string());
    }
  }
  return dir.string();
}

const std::string& FixtureDir() {
  // A throwing initialiser leaves the static unset, so a later call tries again.
  static const std::string s_strDir = BuildFixtures();
  return s_strDir;
}

std::string FixturePath(const std::string& name) { return FixtureDir() + "/" + name; }

void PutBmp(std::fstream& f, uint64_t offset, uint32_t size) {
  std::vector<char> b(size, 0x11);
  std::fill(b.begin(), b.begin() + 54, 0);
  b[0] = 'B';
  b[1] = 'M';
  std::memcpy(&b[2], &size, 4);
  b[10] = 54;  // pixels after the headers
  b[14] = 40;  // the info header's size
  b[18] = 1;   // 1 x 1 pixels
  b[22] = 1;
  b[26] = 1;
  b[28] = 24;
  f.seekp(long(offset));
  f.write(b.data(), long(b.size()));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
