// Incremental SHA-256 (OpenSSL's libcrypto), for the reports of what a job wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The lower-case hex SHA-256 of a file's contents into *hex; false with *error (the file and
// the system's reason) when it cannot be opened or read.
bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error);

class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;
  void Update(const void* pData, size_t nSize);
  // Hashes n zero bytes (a hole of the written file).
  void UpdateZeros(uint64_t n);
  // Lower-case hex digest of everything given to Update. Ends the hash: call Reset before
  // hashing anything else. Empty when libcrypto failed.
  std::string FinalHex();
  void Reset();

 private:
  struct evp_md_ctx_st* m_pContext;
  bool m_bFailed = false;
};
