// The report of what a job wrote: one JSON object per line (JSON Lines), one per file
// written or failed, then one with the totals. Each line is flushed as it is written, so
// a job that is killed leaves a report of everything it finished. The fields are listed in
// the README ("Reports").
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tree/DirEntry.h"
#include "tree/OutputFile.h"

// How the save of one file ended.
struct SaveOutcome {
  enum Kind { Whole, Incomplete, Failed } kind = Whole;  // Incomplete: written, with zeros or cut short
  std::string strError;                                  // why, when not whole
  std::string strSha256;                                 // of the bytes written (empty: nothing written)
  uint64_t nBytesWritten = 0;
  std::vector<IOutputFile::ByteRange> unreadable;        // file offsets written as zeros
};

class CSaveReport {
 public:
  CSaveReport() = default;
  ~CSaveReport();
  CSaveReport(const CSaveReport&) = delete;
  CSaveReport& operator=(const CSaveReport&) = delete;

  // Creates (or empties) the report file; false with *error.
  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return m_pFile != nullptr; }
  const std::string& Path() const { return m_strPath; }

  // A file written (writtenPath: where) or failed.
  void File(CFSFile& file, const std::string& writtenPath, const SaveOutcome& outcome);
  // A folder that could not be made or entered (nothing below it was written).
  void FolderFailed(const CDirEntry& folder, const std::string& path, const std::string& error);
  // The last line: the counts of this report's file lines and the bytes written, with the
  // job's own fields (why it ended, ...) merged in. Closes the report.
  void Totals(const nlohmann::json& extra);
  // Any other line (the disk imager's own objects).
  void Line(const nlohmann::json& object);

  uint64_t FilesWhole() const { return m_nWhole; }
  uint64_t FilesNotWhole() const { return m_nIncomplete + m_nFailed; }
  // False once a line could not be written (the report's disk is full, ...).
  bool Healthy() const { return !m_bWriteFailed; }

 private:
  std::FILE* m_pFile = nullptr;
  std::string m_strPath;
  bool m_bWriteFailed = false;
  uint64_t m_nWhole = 0, m_nIncomplete = 0, m_nFailed = 0, m_nBytes = 0;
};

// The status as a fixed word for scripts and reports, whatever the language file says:
// "existing", "excellent", "good", "poor".
const char* StatusWord(uint32_t status);
