#include "platform/Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

CSha256::CSha256() : m_pContext(EVP_MD_CTX_new()) { Reset(); }

CSha256::~CSha256() { EVP_MD_CTX_free(m_pContext); }

void CSha256::Reset() { m_bFailed = !m_pContext || EVP_DigestInit_ex(m_pContext, EVP_sha256(), nullptr) != 1; }

void CSha256::Update(const void* pData, size_t nSize) {
  if (!m_bFailed && nSize && EVP_DigestUpdate(m_pContext, pData, nSize) != 1) m_bFailed = true;
}

void CSha256::UpdateZeros(uint64_t n) {
  static const uint8_t kZeros[65536] = {};
  while (n > 0) {
    const size_t piece = n < sizeof kZeros ? size_t(n) : sizeof kZeros;
    Update(kZeros, piece);
    n -= piece;
  }
}

std::string CSha256::FinalHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (m_bFailed || EVP_DigestFinal_ex(m_pContext, digest, &length) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  CSha256 sha;
  std::vector<uint8_t> buffer(1u << 20);
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      if (error) *error = "cannot read " + path + ": " + std::strerror(e);
      return false;
    }
    if (n == 0) break;
    sha.Update(buffer.data(), size_t(n));
  }
  ::close(fd);
  *hex = sha.FinalHex();
  return !hex->empty();
}
