// Where a file node's WriteContent sends the bytes it reads: a file being saved or a
// buffer in memory (the preview).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class IOutputFile {
 public:
  virtual ~IOutputFile() = default;
  // Appends len bytes; false when they could not all be written.
  virtual bool Write(const void* data, size_t len) = 0;
  // Appends n zero bytes (a hole where the destination can keep one); false when they
  // could not all be written. Here: zeros written through Write.
  virtual bool WriteZeros(uint64_t n);

  // The reader could not read the n bytes at file offset `at` from the source (bad
  // sectors); it delivers zeros for them as well. Kept merged and in order, so a save can
  // report the file as incomplete with the byte ranges.
  void NoteUnreadable(uint64_t at, uint64_t n);
  struct ByteRange {
    uint64_t nOffset, nLength;
  };
  const std::vector<ByteRange>& Unreadable() const { return m_unreadable; }

 private:
  std::vector<ByteRange> m_unreadable;
};

// "bytes 4096-4607 and 10240-12287" (inclusive ends), the first few ranges and how many more.
std::string UnreadableRangesText(const std::vector<IOutputFile::ByteRange>& ranges);

// Collects the bytes in memory, up to an optional limit (beyond it Write fails).
class CMemoryOutputFile final : public IOutputFile {
 public:
  explicit CMemoryOutputFile(size_t limit = SIZE_MAX) : m_nLimit(limit) {}
  bool Write(const void* data, size_t len) override;
  bool WriteZeros(uint64_t n) override;
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_nLimit;
};

// A new file on disk, created exclusively or truncating an existing one.
class CDiskOutputFile final : public IOutputFile {
 public:
  CDiskOutputFile() = default;
  ~CDiskOutputFile() override;
  CDiskOutputFile(const CDiskOutputFile&) = delete;
  CDiskOutputFile& operator=(const CDiskOutputFile&) = delete;

  // Creates (or, with overwrite, truncates) path for writing. False with *error.
  bool Create(const std::string& path, bool overwrite, std::string* error);
  bool Write(const void* data, size_t len) override;
  // Flushes and closes; false when the data did not all reach the file.
  bool Close(std::string* error = nullptr);

 private:
  int m_fd = -1;
  bool m_bFailed = false;
  std::string m_strPath;
};
