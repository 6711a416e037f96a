#include "support/Fixtures.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
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

namespace {

constexpr uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t RotateRight(uint32_t nValue, int nBits) {
  return (nValue >> nBits) | (nValue << (32 - nBits));
}

}  // namespace

CSha256::CSha256() { Reset(); }

void CSha256::Reset() {
  std::memcpy(m_aState, kSha256Initial, sizeof m_aState);
  m_nBlockBytes = 0;
  m_nTotalBytes = 0;
}

// One 64-byte block; words are big-endian.
void CSha256::Compress(const uint8_t* pBlock) {
  uint32_t aW[64];
  for (int i = 0; i < 16; ++i) {
    aW[i] = uint32_t(pBlock[4 * i]) << 24 | uint32_t(pBlock[4 * i + 1]) << 16 |
            uint32_t(pBlock[4 * i + 2]) << 8 | uint32_t(pBlock[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t nS0 = RotateRight(aW[i - 15], 7) ^ RotateRight(aW[i - 15], 18) ^ (aW[i - 15] >> 3);
    uint32_t nS1 = RotateRight(aW[i - 2], 17) ^ RotateRight(aW[i - 2], 19) ^ (aW[i - 2] >> 10);
    aW[i] = aW[i - 16] + nS0 + aW[i - 7] + nS1;
  }
  uint32_t a = m_aState[0], b = m_aState[1], c = m_aState[2], d = m_aState[3];
  uint32_t e = m_aState[4], f = m_aState[5], g = m_aState[6], h = m_aState[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t nS1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
    uint32_t nCh = (e & f) ^ (~e & g);
    uint32_t nT1 = h + nS1 + nCh + kSha256Round[i] + aW[i];
    uint32_t nS0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
    uint32_t nMaj = (a & b) ^ (a & c) ^ (b & c);
    uint32_t nT2 = nS0 + nMaj;
    h = g;
    g = f;
    f = e;
    e = d + nT1;
    d = c;
    c = b;
    b = a;
    a = nT1 + nT2;
  }
  m_aState[0] += a;
  m_aState[1] += b;
  m_aState[2] += c;
  m_aState[3] += d;
  m_aState[4] += e;
  m_aState[5] += f;
  m_aState[6] += g;
  m_aState[7] += h;
}

void CSha256::Update(const void* pData, size_t nSize) {
  const uint8_t* pBytes = static_cast<const uint8_t*>(pData);
  m_nTotalBytes += nSize;
  if (m_nBlockBytes != 0) {
    size_t nTake = std::min(nSize, sizeof m_aBlock - m_nBlockBytes);
    std::memcpy(m_aBlock + m_nBlockBytes, pBytes, nTake);
    m_nBlockBytes += nTake;
    pBytes += nTake;
    nSize -= nTake;
    if (m_nBlockBytes < sizeof m_aBlock) return;
    Compress(m_aBlock);
    m_nBlockBytes = 0;
  }
  for (; nSize >= sizeof m_aBlock; pBytes += sizeof m_aBlock, nSize -= sizeof m_aBlock) {
    Compress(pBytes);
  }
  std::memcpy(m_aBlock, pBytes, nSize);
  m_nBlockBytes = nSize;
}

// Padding: 0x80, zeros up to 56 mod 64, then the message length in bits, big-endian.
std::string CSha256::FinalHex() {
  uint64_t nBits = m_nTotalBytes * 8;
  m_aBlock[m_nBlockBytes++] = 0x80;
  if (m_nBlockBytes > 56) {
    std::memset(m_aBlock + m_nBlockBytes, 0, sizeof m_aBlock - m_nBlockBytes);
    Compress(m_aBlock);
    m_nBlockBytes = 0;
  }
  std::memset(m_aBlock + m_nBlockBytes, 0, 56 - m_nBlockBytes);
  for (int i = 0; i < 8; ++i) m_aBlock[56 + i] = uint8_t(nBits >> (56 - 8 * i));
  Compress(m_aBlock);
  m_nBlockBytes = 0;

  static const char kHex[] = "0123456789abcdef";
  std::string strHex;
  strHex.reserve(64);
  for (uint32_t nWord : m_aState) {
    for (int nShift = 28; nShift >= 0; nShift -= 4) strHex += kHex[(nWord >> nShift) & 0xf];
  }
  return strHex;
}

std::string Sha256Hex(std::string_view data) {
  CSha256 sha;
  sha.Update(data.data(), data.size());
  return sha.FinalHex();
}

std::string Sha256OfFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  CSha256 sha;
  std::vector<uint8_t> buffer(1u << 20);
  for (;;) {
    ssize_t nRead = ::read(fd, buffer.data(), buffer.size());
    if (nRead < 0 && errno == EINTR) continue;
    if (nRead < 0) {
      int nError = errno;
      ::close(fd);
      throw std::runtime_error("cannot read " + path + ": " + std::strerror(nError));
    }
    if (nRead == 0) break;
    sha.Update(buffer.data(), size_t(nRead));
  }
  ::close(fd);
  return sha.FinalHex();
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------

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
  b[26] = 1;
  b[28] = 24;
  f.seekp(long(offset));
  f.write(b.data(), long(b.size()));
}
