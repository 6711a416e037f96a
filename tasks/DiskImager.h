// Copying a failing disk or volume into an image file, the way a data-recovery engineer
// clones a disk before working on it: the good areas first and fast, the bad areas later
// and in ever smaller reads, with a rescue map (tasks/RescueMap.h, GNU ddrescue's
// mapfile format) that lets a stopped or crashed copy continue where it was, here or with
// ddrescue, without reading again what was read.
//
// Phases, each over what the map still holds in the state it works on:
//
//   copy, pass 1   not-tried areas in large reads (m_nClusterBytes); a failed read marks its
//                  block non-trimmed and skips ahead, leaving the area after it not tried; the
//                  skip doubles with each failure in a row (up to 1% of the source, at least
//                  1 MiB, at most 1 GiB) and returns to its start after a good read, so a
//                  bad area costs a few reads, not one per sector
//   copy, pass 2   the areas skipped in pass 1, in reads of 4 KiB, without skipping
//   trimming       each non-trimmed block sector by sector from its start up to the first
//                  bad sector, and from its end down to the last one; what lies between is
//                  non-scraped
//   scraping       the non-scraped blocks sector by sector
//   retrying       the bad sectors, sector by sector, nRetries passes (a finished map given
//                  again gets nRetries more; a map stopped while retrying, the passes left)
//
// Unread areas stay zeros in the destination (a sparse hole); the map tells where they
// are. The destination is written at the source's own offsets (byte N of the source is
// byte N of the image) and has the source's size, so it opens as a disk.
//
// A source that disappears (ENODEV, ENXIO or ENOMEDIUM on a read, or eight failed reads
// in a row after which a sector read well before fails too) ends the run at once, with
// the map written. Nothing here shows anything: the front ends poll Status().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/RawDevice.h"
#include "tasks/RescueMap.h"

struct ImagerOptions {
  std::string strDest;          // the image file
  std::string strMap;           // the mapfile; empty: DEST.map
  uint64_t nFirstSector = 0;    // the first sector copied
  uint64_t nLastSector = UINT64_MAX;  // the last sector copied (inclusive); default the last one
  int nRetries = 1;             // passes over the bad sectors after scraping
  uint32_t nClusterBytes = 64 << 10;  // the size of pass 1's reads
  double dSaveSeconds = 5.0;    // how often the map is written while copying
};

// How a run ended.
enum class ImagerEnd {
  Finished,     // every sector of the range was copied
  BadSectors,   // every phase ran; bad sectors remain (zeros in the image, '-' in the map)
  Stopped,      // a stop was asked for; the map tells what is left
  SourceGone,   // the source stopped answering (unplugged); the map tells what is left
  WriteFailed,  // the image or the map could not be written
};

struct ImagerStatus {
  uint64_t nDomainBytes = 0;   // bytes of the range being copied
  uint64_t nRescued = 0;       // copied ('+')
  uint64_t nBad = 0;           // bad sectors ('-')
  uint64_t nNonTried = 0, nNonTrimmed = 0, nNonScraped = 0;
  uint64_t nBadAreas = 0;      // runs of bad sectors
  uint64_t nReadBytes = 0;     // bytes asked of the source in this run, read or not
  uint64_t nReadErrors = 0;    // failed reads in this run
  uint64_t nPos = 0;           // the byte being read
  char cPhase = rescue::kNonTried;  // the map's current_status
  int nPass = 1;
  double dSeconds = 0;         // since the run began
  double dRate = 0;            // bytes copied per second, over the last few seconds
  double dSecondsLeft = -1;    // estimated from the average rate; -1 when unknown
};

class CDiskImager {
 public:
  CDiskImager(DeviceHandle source, ImagerOptions options);
  ~CDiskImager();
  CDiskImager(const CDiskImager&) = delete;
  CDiskImager& operator=(const CDiskImager&) = delete;

  // Checks the paths and opens the destination and the map. A new copy creates the
  // destination exclusively (an existing file is never overwritten) and needs a map that
  // does not exist yet; a map that exists continues that copy into the existing
  // destination. Refused: a destination or map on the source's disk, or that is the
  // source itself; a map of a larger source; a map that says data was copied while the
  // destination is missing. False with *error.
  bool Open(std::string* error);

  // Copies until done, stopped (stop() answers true; polled between reads), the source
  // is gone or a write fails. The map is written every dSaveSeconds and at the end.
  ImagerEnd Run(const std::function<bool()>& stop);

  // A snapshot of the progress (any thread).
  ImagerStatus Status() const;
  // The reason of a SourceGone or WriteFailed end, one line.
  const std::string& Problem() const { return m_strProblem; }
  const std::string& MapPath() const { return m_strMap; }
  const std::string& DestPath() const { return m_options.strDest; }
  // Whether Open continued an existing copy.
  bool Continued() const { return m_bContinued; }
  const CRescueMap& Map() const { return m_map; }

 private:
  using Clock = std::chrono::steady_clock;
  // Reads [pos, pos + len) and writes it to the image; marks the map. Answers whether the
  // read succeeded; sets m_end when the run must end (source gone, write failed).
  bool CopyRange(uint64_t pos, uint64_t len, char statusOnFailure);
  bool SourceGoneAfterFailure(int err);
  bool SaveMap(bool final);
  void Tick(bool force);
  void RefreshCounts();
  bool Ended(const std::function<bool()>& stop);
  bool PassCopy(int pass, uint64_t readBytes, bool skip, const std::function<bool()>& stop);
  bool PassTrim(const std::function<bool()>& stop);
  bool PassSectors(char from, char phase, int pass, const std::function<bool()>& stop);

  DeviceHandle m_source;
  ImagerOptions m_options;
  std::string m_strMap;
  CRescueMap m_map;
  int m_destFd = -1;
  bool m_bContinued = false;
  uint64_t m_nSectorBytes = 512;
  uint64_t m_nBegin = 0, m_nEnd = 0;  // the byte range copied
  std::vector<uint8_t> m_buffer;

  std::optional<ImagerEnd> m_end;
  std::string m_strProblem;
  int m_nFailedInRow = 0;
  bool m_bHaveGood = false;
  uint64_t m_nLastGood = 0;

  Clock::time_point m_start, m_lastSave, m_lastTick, m_rateMark;
  uint64_t m_nRescuedAtStart = 0, m_nRescuedAtMark = 0;
  mutable std::mutex m_mutex;
  ImagerStatus m_status;
};
