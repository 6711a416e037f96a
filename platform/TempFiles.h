// Temporary files of the run.
//
// At start the program reserves 27 empty files "~DF*.tmp" in the temporary folder
// ($TMPDIR or /tmp); their stems name the preview's temporary copies. They are removed
// at exit, also when the program ends on an error: normal return, exit(), and the
// terminating signals all remove them.
#pragma once

#include <array>
#include <string>

namespace tempfiles {

constexpr int kReservedCount = 27;

// $TMPDIR when set and a folder, otherwise /tmp; without a trailing '/'.
std::string TempDirectory();

class CReservedTempNames {
 public:
  CReservedTempNames() = default;
  ~CReservedTempNames();
  CReservedTempNames(const CReservedTempNames&) = delete;
  CReservedTempNames& operator=(const CReservedTempNames&) = delete;

  // Creates the files. False when one cannot be created (those made so far stay
  // reserved and are removed by Release).
  bool Reserve(const std::string& directory = TempDirectory());
  // Removes every reserved file; safe to call twice.
  void Release();

  // The stem ("~DFa1B2c3") of entry i, 0 to 26; empty when not reserved.
  const std::string& Stem(int i) const { return m_stems[static_cast<size_t>(i)]; }
  const std::string& Directory() const { return m_strDirectory; }
  int Count() const { return m_nCount; }

 private:
  std::string m_strDirectory;
  std::array<std::string, kReservedCount> m_stems;
  int m_nCount = 0;
};

// Installs handlers so that SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT and SIGSEGV remove
// the files of the active reservation before the process ends. The CLI replaces the
// SIGINT handler with its own stop handling.
void InstallCleanupHandlers();
// Removes the reserved files at once; safe inside a signal handler.
void RemoveReservedFilesNow();

}  // namespace tempfiles
