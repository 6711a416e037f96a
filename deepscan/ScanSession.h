// A deep scan that can be stopped and resumed: the session file records what the scan found
// and how far it got, rewritten atomically every few seconds while it runs. A scan resumed
// from it puts the finds back and goes on from there, and ends with the results one
// uninterrupted scan gives. The file names its source by path, size and a digest of its
// first bytes, and is refused for any other source.
//
// The file is JSON:
//   {"format": "quarrow-deepscan-session", "version": 1,
//    "source": {"path": ..., "size": ..., "head_sha256": ...},
//    "options": {...the command's scan options...},
//    "next_unit": N, "complete": false,
//    "finds": [[unit, "jpg", length], [unit], ...]}
// A find [unit, ext, length] is a carved file; [unit] is a step that rebuilt a lost folder,
// taken again when the scan is resumed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/Driver.h"

struct ScanSource {
  std::string strPath;
  uint64_t nSize = 0;
  std::string strHeadSha256;  // of the first MiB (or all of a smaller source)
};
// The source a volume reads: its device's path, the whole source's size, and the digest of
// its first bytes. False when they cannot be read.
bool DescribeScanSource(CLogicalDriver& volume, ScanSource& source, std::string* error);

class CScanSession final : public IScanJournal {
 public:
  // A new session for a scan of source with options, written to path.
  CScanSession(std::string path, ScanSource source, nlohmann::json options);
  // Reads a session file; false with *error for a missing, unreadable or damaged one.
  bool Load(const std::string& path, std::string* error);
  // Whether the session is of this source; false with *error saying what differs.
  bool SameSource(const ScanSource& source, std::string* error) const;
  const nlohmann::json& Options() const { return m_options; }
  bool Complete() const { return m_bComplete; }
  uint64_t NextUnit() const { return m_nNext; }
  size_t Finds() const { return m_finds.size(); }
  // How often the file is rewritten while the scan runs.
  void SetInterval(std::chrono::milliseconds interval) { m_interval = interval; }

  // Writes the file atomically (a temporary file beside it, flushed, renamed over it).
  bool Save(std::string* error);
  // The scan ended: complete when it reached its last unit. Writes the file.
  bool Finish(bool complete, std::string* error);
  // The same without writing (a session kept in memory until the user saves it).
  void MarkEnded(bool complete) { m_bComplete = complete; }
  // Writes the session to path, which it is written to from then on.
  bool SaveAs(const std::string& path, std::string* error) {
    m_strPath = path;
    return Save(error);
  }
  // False once a periodic write failed (why in LastError).
  bool Healthy() const { return m_strError.empty(); }
  const std::string& LastError() const { return m_strError; }

  bool Replay(CDriver& volume, CUnitBitmap& visited, IProgressWindow* progress, uint64_t& next,
              uint64_t& found) override;
  void Stepped(CDriver& volume, uint64_t unit) override;
  void Scanned(CDriver& volume, uint64_t next) override;

 private:
  template <typename Bad>
  bool Parse(const nlohmann::json& j, const std::string& path, Bad&& bad);

  struct Find {
    uint64_t nUnit = 0;
    bool bRescan = false;      // a step to take again (a rebuilt folder)
    std::u16string strExtension;
    uint64_t nLength = 0;
  };
  std::string m_strPath;
  ScanSource m_source;
  nlohmann::json m_options;
  std::vector<Find> m_finds;
  uint64_t m_nNext = 0;
  bool m_bStarted = false;  // next_unit is known (0 is a unit too)
  bool m_bComplete = false;
  size_t m_nKnownChildren = 0;  // nodes of the results folder already recorded
  std::chrono::milliseconds m_interval{5000};
  std::chrono::steady_clock::time_point m_lastSave = std::chrono::steady_clock::now();
  std::string m_strError;
};
