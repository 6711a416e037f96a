#include "tasks/DiskImager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fmt/format.h>

#include "platform/SameDisk.h"

namespace {
// Reads in a row that may fail before the source is asked for a sector it gave before.
constexpr int kProbeAfterFailures = 8;
// Failed reads in a row, with no good read in the run, after which the source counts as gone.
constexpr int kGoneWithoutGoodRead = 64;
// Pass 2's read size.
constexpr uint64_t kSmallReadBytes = 4096;

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LocalTimeText() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}
}  // namespace

CDiskImager::CDiskImager(DeviceHandle source, ImagerOptions options)
    : m_source(std::move(source)), m_options(std::move(options)) {
  m_strMap = m_options.strMap.empty() ? m_options.strDest + ".map" : m_options.strMap;
}

CDiskImager::~CDiskImager() {
  if (m_destFd >= 0) ::close(m_destFd);
}

bool CDiskImager::Open(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (!m_source) return fail("no source");
  const std::string& dest = m_options.strDest;
  const std::string& sourcePath = m_source->Path();
  const uint64_t size = m_source->Size();
  m_nSectorBytes = std::max<uint64_t>(m_source->SectorSize(), 1);
  if (dest.empty()) return fail("no destination file given");
  if (size == 0) return fail(sourcePath + ": the source is empty");
  // The range, in whole sectors.
  if (m_options.nFirstSector > (size - 1) / m_nSectorBytes)
    return fail(fmt::format("the first sector {} lies past the end of {} ({} sectors of {} bytes)",
                            m_options.nFirstSector, sourcePath, (size + m_nSectorBytes - 1) / m_nSectorBytes,
                            m_nSectorBytes));
  if (m_options.nLastSector < m_options.nFirstSector)
    return fail(fmt::format("the last sector {} lies before the first, {}", m_options.nLastSector,
                            m_options.nFirstSector));
  m_nBegin = m_options.nFirstSector * m_nSectorBytes;
  m_nEnd = m_options.nLastSector >= (size - 1) / m_nSectorBytes ? size : (m_options.nLastSector + 1) * m_nSectorBytes;

  // The image and the map never go onto the disk being rescued, nor over the source.
  if (dest == m_strMap || SameFile(dest, m_strMap)) return fail("the image and the map must be two files");
  for (const std::string* p : {&dest, static_cast<const std::string*>(&m_strMap)}) {
    if (*p == sourcePath || SameFile(*p, sourcePath)) return fail(*p + ": is the source itself");
    if (IsOnSameDisk(FolderOf(*p), sourcePath))
      return fail(*p + ": lies on the disk being copied; writing there could overwrite what is being rescued. "
                       "Choose a file on another disk.");
  }

  struct stat st {};
  const bool mapExists = ::stat(m_strMap.c_str(), &st) == 0;
  if (mapExists) {
    if (!S_ISREG(st.st_mode)) return fail(m_strMap + ": is not a regular file");
    std::string why;
    if (!m_map.Load(m_strMap, size, &why)) return fail(why + " (a map of another, larger source?)");
    m_bContinued = true;
    m_destFd = ::open(dest.c_str(), O_WRONLY | O_CLOEXEC);
    if (m_destFd < 0 && errno == ENOENT) {
      // Without the image a map that says something was copied describes data that is gone.
      if (m_map.Count(rescue::kFinished) != 0)
        return fail(fmt::format("{}: missing, but the map {} says {} bytes were copied into it", dest, m_strMap,
                                m_map.Count(rescue::kFinished)));
      m_destFd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (m_destFd < 0) return fail(dest + ": " + std::strerror(errno));
  } else {
    m_destFd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_destFd < 0) {
      if (errno == EEXIST)
        return fail(dest + ": exists already; it is never overwritten (to continue a copy, give its map with --map)");
      return fail(dest + ": " + std::strerror(errno));
    }
    m_map = CRescueMap(size);
  }
  if (::fstat(m_destFd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(dest + ": is not a regular file");
  // The image has the source's size from the start; what is not copied stays a hole.
  if (uint64_t(st.st_size) < size && ::ftruncate(m_destFd, off_t(size)) != 0)
    return fail(dest + ": cannot be given the source's size: " + std::strerror(errno));
  m_buffer.resize(std::max<uint64_t>({m_options.nClusterBytes, kSmallReadBytes, m_nSectorBytes}));
  if (!mapExists && !SaveMap(false)) {
    ::close(m_destFd);
    m_destFd = -1;
    ::unlink(dest.c_str());
    return fail(m_strProblem);
  }
  m_status.nDomainBytes = m_nEnd - m_nBegin;
  RefreshCounts();
  return true;
}

bool CDiskImager::SaveMap(bool final) {
  if (::fdatasync(m_destFd) != 0) {
    m_strProblem = m_options.strDest + ": " + std::strerror(errno);
    m_end = ImagerEnd::WriteFailed;
    return false;
  }
  m_map.m_header = {fmt::format("Mapfile. Created by Tarnwell Quarrow {}", QUARROW_VERSION),
                    "Source: " + m_source->Path(), "Image: " + m_options.strDest, "Current time: " + LocalTimeText()};
  if (final && m_map.m_cCurrentStatus == rescue::kFinished) m_map.m_header.push_back("Finished");
  std::string why;
  if (!m_map.Save(m_strMap, &why)) {
    m_strProblem = "the map could not be written: " + why;
    m_end = ImagerEnd::WriteFailed;
    return false;
  }
  m_lastSave = Clock::now();
  return true;
}

void CDiskImager::RefreshCounts() {
  ImagerStatus s;
  s.nRescued = m_map.Count(rescue::kFinished, m_nBegin, m_nEnd);
  s.nBad = m_map.Count(rescue::kBadSector, m_nBegin, m_nEnd);
  s.nNonTried = m_map.Count(rescue::kNonTried, m_nBegin, m_nEnd);
  s.nNonTrimmed = m_map.Count(rescue::kNonTrimmed, m_nBegin, m_nEnd);
  s.nNonScraped = m_map.Count(rescue::kNonScraped, m_nBegin, m_nEnd);
  CRescueMap::Block b;
  for (uint64_t pos = m_nBegin; m_map.Next(rescue::kBadSector, pos, m_nEnd, &b); pos = b.nPos + b.nSize) ++s.nBadAreas;
  const auto now = Clock::now();
  std::lock_guard lock(m_mutex);
  s.nDomainBytes = m_nEnd - m_nBegin;
  s.nReadBytes = m_status.nReadBytes;
  s.nReadErrors = m_status.nReadErrors;
  s.nPos = m_status.nPos;
  s.cPhase = m_map.m_cCurrentStatus;
  s.nPass = m_map.m_nCurrentPass;
  s.dSeconds = std::chrono::duration<double>(now - m_start).count();
  s.dRate = m_status.dRate;
  const double sinceMark = std::chrono::duration<double>(now - m_rateMark).count();
  if (sinceMark >= 1.0) {
    s.dRate = double(s.nRescued - std::min(s.nRescued, m_nRescuedAtMark)) / sinceMark;
    m_nRescuedAtMark = s.nRescued;
    m_rateMark = now;
  }
  const double average = s.dSeconds > 0 ? double(s.nRescued - std::min(s.nRescued, m_nRescuedAtStart)) / s.dSeconds : 0;
  const uint64_t left = s.nNonTried + s.nNonTrimmed + s.nNonScraped;
  s.dSecondsLeft = left == 0 ? 0 : average > 0 && s.dSeconds >= 1 ? double(left) / average : -1;
  m_status = s;
}

void CDiskImager::Tick(bool force) {
  const auto now = Clock::now();
  if (!force && now - m_lastTick < std::chrono::milliseconds(100)) return;
  m_lastTick = now;
  RefreshCounts();
  if (now - m_lastSave >= std::chrono::duration<double>(m_options.dSaveSeconds)) SaveMap(false);
}

ImagerStatus CDiskImager::Status() const {
  std::lock_guard lock(m_mutex);
  return m_status;
}

bool CDiskImager::SourceGoneAfterFailure(int err) {
  if (err == ENODEV || err == ENXIO || err == ENOMEDIUM) {
    m_strProblem = fmt::format("{}: the source is gone ({}); unplugged?", m_source->Path(), std::strerror(err));
    return true;
  }
  ++m_nFailedInRow;
  if (m_nFailedInRow < kProbeAfterFailures) return false;
  // A run of failures: a bad area, or a source that no longer answers at all. A sector
  // read well before (in this run, or one the map says was copied) tells them apart.
  uint64_t probeAt = m_nLastGood;
  bool haveProbe = m_bHaveGood;
  CRescueMap::Block copied;
  if (!haveProbe && m_map.Next(rescue::kFinished, 0, m_map.Size(), &copied)) {
    probeAt = copied.nPos;
    haveProbe = true;
  }
  if (!haveProbe) {
    if (m_nFailedInRow < kGoneWithoutGoodRead) return false;
    m_strProblem = fmt::format("{}: no read of the source succeeded ({} in a row failed)", m_source->Path(),
                               m_nFailedInRow);
    return true;
  }
  m_nFailedInRow = 0;
  std::vector<uint8_t> probe(m_nSectorBytes);
  const uint64_t len = std::min<uint64_t>(m_nSectorBytes, m_source->Size() - probeAt);
  if (!m_source->ReadUncached(probeAt, probe.data(), len)) {
    const int e = errno;
    m_strProblem = fmt::format("{}: the source stopped answering: {} reads in a row failed, and byte {} that was "
                               "read before fails now too ({}); unplugged?",
                               m_source->Path(), kProbeAfterFailures, probeAt, e ? std::strerror(e) : "no data");
    return true;
  }
  return false;
}

bool CDiskImager::CopyRange(uint64_t pos, uint64_t len, char statusOnFailure) {
  const char before = m_map.StatusAt(pos);
  {
    std::lock_guard lock(m_mutex);
    m_status.nPos = pos;
    m_status.nReadBytes += len;
  }
  m_map.m_nCurrentPos = pos;
  if (m_source->ReadUncached(pos, m_buffer.data(), size_t(len))) {
    const uint8_t* p = m_buffer.data();
    uint64_t at = pos, left = len;
    while (left > 0) {
      ssize_t n = ::pwrite(m_destFd, p, size_t(left), off_t(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        m_strProblem = m_options.strDest + ": " + std::strerror(n < 0 ? errno : EIO);
        m_end = ImagerEnd::WriteFailed;
        return false;
      }
      p += n;
      at += uint64_t(n);
      left -= uint64_t(n);
    }
    m_map.Set(pos, len, rescue::kFinished);
    m_nFailedInRow = 0;
    m_bHaveGood = true;
    m_nLastGood = pos - pos % m_nSectorBytes;
    Tick(false);
    return true;
  }
  const int err = errno;
  {
    std::lock_guard lock(m_mutex);
    ++m_status.nReadErrors;
  }
  if (SourceGoneAfterFailure(err)) {
    // The read failed because the source went away, not because of the sectors: they
    // keep their state, to be read when it is back.
    m_map.Set(pos, len, before);
    m_end = ImagerEnd::SourceGone;
    return false;
  }
  m_map.Set(pos, len, statusOnFailure);
  Tick(false);
  return false;
}

bool CDiskImager::Ended(const std::function<bool()>& stop) { return m_end.has_value() || (stop && stop()); }

bool CDiskImager::PassCopy(int pass, uint64_t readBytes, bool skip, const std::function<bool()>& stop) {
  m_map.m_cCurrentStatus = rescue::kNonTried;
  m_map.m_nCurrentPass = pass;
  readBytes = std::max(readBytes - readBytes % m_nSectorBytes, m_nSectorBytes);
  const uint64_t minSkip = std::max<uint64_t>(readBytes, 64 << 10);
  const uint64_t maxSkip =
      std::max<uint64_t>(minSkip, std::clamp<uint64_t>(m_source->Size() / 100, 1 << 20, uint64_t(1) << 30));
  uint64_t skipBytes = minSkip;
  CRescueMap::Block b;
  uint64_t pos = m_nBegin;
  while (m_map.Next(rescue::kNonTried, pos, m_nEnd, &b)) {
    uint64_t p = b.nPos;
    const uint64_t end = b.nPos + b.nSize;
    pos = end;
    while (p < end) {
      if (Ended(stop)) return false;
      const uint64_t len = std::min(readBytes - p % readBytes, end - p);
      if (CopyRange(p, len, rescue::kNonTrimmed)) {
        skipBytes = minSkip;
        p += len;
        continue;
      }
      if (m_end) return false;
      p += len;
      if (skip) {
        // Past the failed block the area is left untried for pass 2; the next read
        // begins after the skip, at a sector boundary.
        uint64_t next = p + std::min(skipBytes, m_nEnd - p);
        next -= (next - m_nBegin) % m_nSectorBytes;
        pos = std::max(next, p);
        skipBytes = std::min(skipBytes * 2, maxSkip);
        break;
      }
    }
  }
  return true;
}

bool CDiskImager::PassTrim(const std::function<bool()>& stop) {
  m_map.m_cCurrentStatus = rescue::kNonTrimmed;
  m_map.m_nCurrentPass = 1;
  auto sectorEnd = [&](uint64_t p) { return std::min(p - p % m_nSectorBytes + m_nSectorBytes, m_nEnd); };
  CRescueMap::Block b;
  uint64_t pos = m_nBegin;
  while (m_map.Next(rescue::kNonTrimmed, pos, m_nEnd, &b)) {
    const uint64_t end = b.nPos + b.nSize;
    pos = end;
    // From the start forwards up to the first bad sector...
    uint64_t p = b.nPos;
    while (p < end) {
      if (Ended(stop)) return false;
      const uint64_t e = std::min(sectorEnd(p), end);
      const bool ok = CopyRange(p, e - p, rescue::kBadSector);
      if (m_end) return false;
      p = e;
      if (!ok) break;
    }
    // ...and from the end backwards down to the last one.
    uint64_t q = end;
    while (q > p) {
      if (Ended(stop)) return false;
      uint64_t s = (q - 1) - (q - 1) % m_nSectorBytes;
      s = std::max(s, p);
      const bool ok = CopyRange(s, q - s, rescue::kBadSector);
      if (m_end) return false;
      q = s;
      if (!ok) break;
    }
    if (q > p) m_map.Set(p, q - p, rescue::kNonScraped);
  }
  return true;
}

bool CDiskImager::PassSectors(char from, char phase, int pass, const std::function<bool()>& stop) {
  m_map.m_cCurrentStatus = phase;
  m_map.m_nCurrentPass = pass;
  CRescueMap::Block b;
  uint64_t pos = m_nBegin;
  while (m_map.Next(from, pos, m_nEnd, &b)) {
    const uint64_t end = b.nPos + b.nSize;
    pos = end;
    for (uint64_t p = b.nPos; p < end;) {
      if (Ended(stop)) return false;
      const uint64_t e = std::min(std::min(p - p % m_nSectorBytes + m_nSectorBytes, m_nEnd), end);
      CopyRange(p, e - p, rescue::kBadSector);
      if (m_end) return false;
      p = e;
    }
  }
  return true;
}

ImagerEnd CDiskImager::Run(const std::function<bool()>& stop) {
  m_start = m_lastTick = m_rateMark = Clock::now();
  m_lastSave = m_start;
  RefreshCounts();
  m_nRescuedAtStart = m_nRescuedAtMark = Status().nRescued;
  // A map stopped while retrying continues with its next retry pass; a finished map with
  // bad sectors gets nRetries more passes (the same command again tries them again).
  int retriesDone = 0;
  if (m_map.m_cCurrentStatus == rescue::kBadSector) retriesDone = std::max(0, m_map.m_nCurrentPass - 1);

  bool done = PassCopy(1, m_options.nClusterBytes, true, stop) && PassCopy(2, kSmallReadBytes, false, stop) &&
              PassTrim(stop) && PassSectors(rescue::kNonScraped, rescue::kNonScraped, 1, stop);
  for (int r = retriesDone + 1; done && r <= m_options.nRetries; ++r) {
    if (m_map.Count(rescue::kBadSector, m_nBegin, m_nEnd) == 0) break;
    done = PassSectors(rescue::kBadSector, rescue::kBadSector, r, stop);
  }
  const bool stopped = !m_end && !done;
  if (done) {
    // Finished: nothing of the range is left to try (bad sectors may remain).
    m_map.m_cCurrentStatus = rescue::kFinished;
    m_map.m_nCurrentPass = 1;
    m_map.m_nCurrentPos = m_nEnd;
  }
  const bool saved = SaveMap(true);
  RefreshCounts();
  if (m_end) return *m_end;
  if (!saved) return ImagerEnd::WriteFailed;
  if (stopped) return ImagerEnd::Stopped;
  const ImagerStatus s = Status();
  return s.nBad || s.nNonTried || s.nNonTrimmed || s.nNonScraped ? ImagerEnd::BadSectors : ImagerEnd::Finished;
}
