// quarrow-cli image: copy a failing disk or volume into an image file with a rescue map.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Source.h"
#include "platform/Sha256.h"
#include "tasks/DiskImager.h"
#include "tasks/ProgressFigures.h"

namespace {
struct ImageOptions {
  std::string strSource, strDest, strMap, strReport;
  int nRetries = 1;
  std::optional<uint64_t> nFirst, nLast;
};

// text quoted for a POSIX shell, for the commands the messages suggest.
std::string ShellQuote(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+:,@%") ==
                           std::string::npos)
    return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Bytes(uint64_t n) { return FormatByteCount(n); }

std::string PhaseText(const ImagerStatus& s) {
  switch (s.cPhase) {
    case rescue::kNonTried: return fmt::format("copying, pass {}", s.nPass);
    case rescue::kNonTrimmed: return "trimming";
    case rescue::kNonScraped: return "scraping";
    case rescue::kBadSector: return fmt::format("retrying, pass {}", s.nPass);
    default: return "finished";
  }
}

std::string Duration(double seconds) { return FormatDuration(seconds); }

const char* EndWord(ImagerEnd end) {
  switch (end) {
    case ImagerEnd::Finished: return "finished";
    case ImagerEnd::BadSectors: return "bad_sectors";
    case ImagerEnd::Stopped: return "stopped";
    case ImagerEnd::SourceGone: return "source_gone";
    case ImagerEnd::WriteFailed: return "write_failed";
  }
  return "stopped";
}

// --report: the image as one item (what of it could not be read), then the totals.
bool WriteImageReport(CSaveReport& report, const ImageOptions& o, const CDiskImager& imager, const CRawDevice& source,
                      ImagerEnd end, const ImagerStatus& s) {
  const uint64_t sector = source.SectorSize() ? source.SectorSize() : 512;
  const uint64_t begin = o.nFirst.value_or(0) * sector;
  const uint64_t stop = std::min<uint64_t>(source.Size(), o.nLast ? (*o.nLast + 1) * sector : UINT64_MAX);
  nlohmann::json unreadable = nlohmann::json::array();
  for (const CRescueMap::Block& b : imager.Map().Blocks()) {
    if (b.cStatus == rescue::kFinished || b.nPos + b.nSize <= begin || b.nPos >= stop) continue;
    const uint64_t from = std::max(b.nPos, begin), to = std::min(b.nPos + b.nSize, stop);
    unreadable.push_back({from, to - from});
  }
  std::cerr << "Hashing the image for the report...\n";
  // The image file as it now is (unread sectors read as the zeros they are).
  std::string digest;
  if (!Sha256OfFile(o.strDest, &digest, nullptr)) digest.clear();
  nlohmann::json item = {{"type", "image"},
                         {"source", source.Path()},
                         {"source_size", source.SourceSize()},
                         {"item", source.Path()},
                         {"written_to", o.strDest},
                         {"map", imager.MapPath()},
                         {"offset_bytes", begin},
                         {"runs", nlohmann::json::array({{begin, stop > begin ? stop - begin : 0}})},
                         {"size", stop > begin ? stop - begin : 0},
                         {"bytes_rescued", s.nRescued},
                         {"sha256", digest.empty() ? nlohmann::json(nullptr) : nlohmann::json(digest)},
                         {"unreadable", unreadable},
                         {"result", end == ImagerEnd::Finished ? "whole" : "incomplete"}};
  if (end != ImagerEnd::Finished) item["error"] = imager.Problem().empty() ? EndWord(end) : imager.Problem();
  report.Line(item);
  report.Totals({{"command", "image"},
                 {"end", EndWord(end)},
                 {"bytes_rescued", s.nRescued},
                 {"bytes_bad", s.nBad},
                 {"bad_areas", s.nBadAreas},
                 {"bytes_not_tried", s.nNonTried + s.nNonTrimmed + s.nNonScraped},
                 {"seconds", s.dSeconds},
                 {"complete", end == ImagerEnd::Finished}});
  return report.Healthy();
}

void DrawProgress(const ImagerStatus& s) {
  std::fprintf(stderr, "\r%s: read %s, rescued %s, bad %s (%llu area%s), %s/s, %s left   ", PhaseText(s).c_str(),
               Bytes(s.nReadBytes).c_str(), Bytes(s.nRescued).c_str(), Bytes(s.nBad).c_str(),
               (unsigned long long)s.nBadAreas, s.nBadAreas == 1 ? "" : "s", Bytes(uint64_t(s.dRate)).c_str(),
               Duration(s.dSecondsLeft).c_str());
  std::fflush(stderr);
}

int RunImage(const ImageOptions& o) {
  if (o.nRetries < 0 || o.nRetries > 1000) {
    std::cerr << "quarrow-cli: --retries takes 0 to 1000\n";
    return EXIT_BAD_INPUT;
  }
  std::string error;
  DeviceHandle source = CRawDevice::OpenPath(o.strSource, &error, false);
  if (!source) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  ImagerOptions options;
  options.strDest = o.strDest;
  options.strMap = o.strMap;
  options.nRetries = o.nRetries;
  options.nFirstSector = o.nFirst.value_or(0);
  options.nLastSector = o.nLast.value_or(UINT64_MAX);
  CSaveReport report;
  if (!OpenReportFile(report, o.strReport, o.strSource, false)) return EXIT_BAD_INPUT;
  CDiskImager imager(source, options);
  if (!imager.Open(&error)) {
    std::cerr << "quarrow-cli: " << error << '\n';
    return EXIT_BAD_INPUT;
  }
  if (imager.Continued())
    std::cerr << fmt::format("Continuing the copy of {} in {} ({} copied before)\n", o.strSource, o.strDest,
                             Bytes(imager.Status().nRescued));

  // The copy runs on a worker; this thread draws the progress line and passes Ctrl-C on.
  std::atomic<bool> stop{false}, done{false};
  ImagerEnd end = ImagerEnd::Stopped;
  std::thread worker([&] {
    end = imager.Run([&] { return stop.load(); });
    done = true;
  });
  const bool terminal = ::isatty(2);
  bool drawn = false;
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (Interrupted()) stop = true;
    if (terminal) {
      DrawProgress(imager.Status());
      drawn = true;
    }
  }
  worker.join();
  const ImagerStatus s = imager.Status();
  if (drawn) {
    DrawProgress(s);
    std::fputc('\n', stderr);
  }
  const bool reportFailed = report.IsOpen() && !WriteImageReport(report, o, imager, *source, end, s);
  if (reportFailed) std::cerr << "quarrow-cli: the report " << o.strReport << " could not be written whole\n";
  const std::string again =
      fmt::format("quarrow-cli image {} {} --map {}", ShellQuote(o.strSource), ShellQuote(o.strDest),
                  ShellQuote(imager.MapPath()));
  std::cerr << fmt::format("{} of {} copied into {} in {} ({}/s read); {} in {} bad area(s); map: {}\n",
                           Bytes(s.nRescued), Bytes(s.nDomainBytes), o.strDest, Duration(s.dSeconds),
                           Bytes(s.dSeconds > 0 ? uint64_t(double(s.nReadBytes) / s.dSeconds) : 0), Bytes(s.nBad),
                           s.nBadAreas, imager.MapPath());
  switch (end) {
    case ImagerEnd::Finished:
      std::cerr << fmt::format("Done. The image opens as a disk: quarrow-cli devices --image {}\n",
                               ShellQuote(o.strDest));
      return reportFailed ? EXIT_INCOMPLETE : EXIT_DONE;
    case ImagerEnd::BadSectors:
      std::cerr << fmt::format(
          "quarrow-cli: {} could not be read; those sectors are zeros in the image and '-' in the map. "
          "To try them again: {} --retries N\n",
          Bytes(s.nBad + s.nNonTried + s.nNonTrimmed + s.nNonScraped), again);
      return EXIT_INCOMPLETE;
    case ImagerEnd::Stopped:
      std::cerr << "quarrow-cli: stopped; to continue: " << again << '\n';
      return EXIT_INCOMPLETE;
    case ImagerEnd::SourceGone:
      std::cerr << "quarrow-cli: " << imager.Problem() << "\nWhat was copied stays in " << o.strDest
                << "; once the source is back, continue with: " << again << '\n';
      return EXIT_INCOMPLETE;
    case ImagerEnd::WriteFailed:
      std::cerr << "quarrow-cli: " << imager.Problem() << "\nThe copy stopped; what the map says was copied is in "
                << o.strDest << ". Free space or choose another place, then continue with: " << again << '\n';
      return EXIT_INCOMPLETE;
  }
  return EXIT_INCOMPLETE;
}
}  // namespace

void AddImageCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<ImageOptions>();
  auto* cmd = app.add_subcommand("image", "Copy a (failing) disk or volume into an image file, with a rescue map");
  cmd->add_option("SOURCE", o->strSource, "Disk or volume (block device or image file) to copy")->required();
  cmd->add_option("DEST", o->strDest, "The image file to create (never overwritten; continued with --map)")
      ->required();
  cmd->add_option("--map", o->strMap,
                  "Rescue map (GNU ddrescue mapfile); an existing one continues its copy (default DEST.map)");
  cmd->add_option("--retries", o->nRetries, "Passes over the bad sectors after scraping (default 1)");
  cmd->add_option("--first", o->nFirst, "First sector to copy (default 0)");
  cmd->add_option("--last", o->nLast, "Last sector to copy (default the source's last sector)");
  cmd->add_option("--report", o->strReport,
                  "Write a report (JSON Lines): the image with the byte ranges that could not be read and its "
                  "SHA-256, then the totals");
  cmd->callback([&ctx, o] { ctx.nExitStatus = RunImage(*o); });
}
