#include "deepscan/ScanSession.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "deepscan/ResultNodes.h"
#include "platform/AtomicFile.h"
#include "platform/RawDevice.h"
#include "platform/Sha256.h"
#include "platform/Text.h"

namespace {
constexpr const char* kFormat = "quarrow-deepscan-session";
constexpr int kVersion = 1;
constexpr uint64_t kHeadBytes = 1u << 20;
}  // namespace

bool DescribeScanSource(CLogicalDriver& volume, ScanSource& source, std::string* error) {
  const DeviceHandle& dev = volume.m_hDevice;
  if (!dev) {
    if (error) *error = "the source is not open";
    return false;
  }
  source.strPath = dev->Path();
  source.nSize = dev->SourceSize();
  // The first bytes of what the volume reads (its partition's, for a partition).
  const uint64_t n = std::min<uint64_t>(kHeadBytes, dev->Size());
  std::vector<uint8_t> head(n);
  if (n && !dev->Read(0, head.data(), n)) {
    if (error) *error = source.strPath + ": its first sectors cannot be read";
    return false;
  }
  CSha256 sha;
  sha.Update(head.data(), head.size());
  source.strHeadSha256 = sha.FinalHex();
  return true;
}

CScanSession::CScanSession(std::string path, ScanSource source, nlohmann::json options)
    : m_strPath(std::move(path)), m_source(std::move(source)), m_options(std::move(options)) {}

bool CScanSession::Load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  auto bad = [&](const std::string& why) {
    if (error) *error = path + ": not a deep-scan session (" + why + ")";
    return false;
  };
  try {
    return Parse(j, path, bad);
  } catch (const nlohmann::json::exception&) {
    return bad("a field has the wrong type");
  }
}

template <typename Bad>
bool CScanSession::Parse(const nlohmann::json& j, const std::string& path, Bad&& bad) {
  if (j.is_discarded() || !j.is_object()) return bad("not JSON");
  if (j.value("format", "") != kFormat) return bad("no session format mark");
  if (j.value("version", 0) != kVersion) return bad("unknown version");
  const auto& src = j.value("source", nlohmann::json::object());
  const auto& finds = j.value("finds", nlohmann::json::array());
  if (!src.is_object() || !finds.is_array() || !j.contains("next_unit") || !j["next_unit"].is_number_unsigned())
    return bad("fields missing");
  m_source.strPath = src.value("path", "");
  m_source.nSize = src.value("size", uint64_t(0));
  m_source.strHeadSha256 = src.value("head_sha256", "");
  m_options = j.value("options", nlohmann::json::object());
  m_nNext = j["next_unit"].get<uint64_t>();
  m_bStarted = true;
  m_bComplete = j.value("complete", false);
  m_finds.clear();
  uint64_t previous = 0;
  for (const auto& f : finds) {
    // Finds come in the order of their units, each before the unit the scan got to.
    if (!f.is_array() || f.empty() || !f[0].is_number_unsigned()) return bad("a find is damaged");
    Find find;
    find.nUnit = f[0].get<uint64_t>();
    if (find.nUnit < previous || find.nUnit >= m_nNext) return bad("finds out of order");
    previous = find.nUnit;
    if (f.size() == 1) {
      find.bRescan = true;
    } else if (f.size() == 3 && f[1].is_string() && f[2].is_number_unsigned()) {
      find.strExtension = text::FromUtf8(f[1].get<std::string>());
      find.nLength = f[2].get<uint64_t>();
      if (find.nLength == 0) return bad("a find has no length");
    } else {
      return bad("a find is damaged");
    }
    m_finds.push_back(std::move(find));
  }
  m_strPath = path;
  return true;
}

bool CScanSession::SameSource(const ScanSource& source, std::string* error) const {
  std::string why;
  if (source.nSize != m_source.nSize)
    why = "its size is " + std::to_string(source.nSize) + " bytes, the scanned source's " +
          std::to_string(m_source.nSize);
  else if (source.strHeadSha256 != m_source.strHeadSha256)
    why = "its first sectors differ from the scanned source's";
  if (why.empty()) return true;
  if (error)
    *error = "the session " + m_strPath + " is of " + m_source.strPath + ", not of " + source.strPath + ": " + why;
  return false;
}

bool CScanSession::Save(std::string* error) {
  nlohmann::json finds = nlohmann::json::array();
  for (const Find& f : m_finds) {
    if (f.bRescan) finds.push_back({f.nUnit});
    else finds.push_back({f.nUnit, text::ToUtf8(f.strExtension), f.nLength});
  }
  const nlohmann::json j = {{"format", kFormat},
                            {"version", kVersion},
                            {"source", {{"path", m_source.strPath},
                                        {"size", m_source.nSize},
                                        {"head_sha256", m_source.strHeadSha256}}},
                            {"options", m_options},
                            {"next_unit", m_nNext},
                            {"complete", m_bComplete},
                            {"finds", finds}};
  const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (!WriteFileAtomically(m_strPath, text, error)) return false;
  m_lastSave = std::chrono::steady_clock::now();
  return true;
}

bool CScanSession::Finish(bool complete, std::string* error) {
  m_bComplete = complete;
  return Save(error);
}

bool CScanSession::Replay(CDriver& driver, CUnitBitmap& visited, IProgressWindow* progress, uint64_t& next,
                          uint64_t& found) {
  auto* volume = dynamic_cast<CLogicalDriver*>(&driver);
  if (!volume || !volume->m_pLostFolder) return false;
  found = 0;
  if (!m_bStarted) {
    m_nNext = next;
    m_bStarted = true;
  }
  // Each find is put back as the scan made it: a carved file with the units it covers
  // marked, a rebuilt folder by taking its step again.
  for (const Find& f : m_finds) {
    if (f.nUnit < visited.First() || f.nUnit > visited.Last()) return false;
    visited.Set(f.nUnit);
    const bool made = f.bRescan ? volume->ScanUnit(f.nUnit, &visited, progress)
                                : AddCarvedFile(*volume, f.nUnit, f.strExtension, f.nLength, &visited) != nullptr;
    if (made) ++found;
  }
  m_nKnownChildren = volume->m_pLostFolder->m_children.size();
  next = std::max(next, m_nNext);
  return true;
}

void CScanSession::Stepped(CDriver& driver, uint64_t unit) {
  auto* volume = static_cast<CLogicalDriver*>(&driver);  // Replay made sure it is one
  const auto& children = volume->m_pLostFolder->m_children;
  if (children.size() == m_nKnownChildren) return;
  std::vector<Find> made;
  bool rescan = false;
  for (size_t k = m_nKnownChildren; k < children.size(); ++k) {
    const CDirEntry* node = children[k].get();
    uint64_t start = unit;
    if (!node || node->IsDirectory() || !volume->ResultStartUnit(*node, start) || start != unit) {
      rescan = true;  // a folder, or anything else that is made again only by its step
      continue;
    }
    made.push_back({unit, false, node->m_strExtension, node->m_nSize});
  }
  m_nKnownChildren = children.size();
  if (rescan) m_finds.push_back({unit, true, {}, 0});
  else m_finds.insert(m_finds.end(), made.begin(), made.end());
}

void CScanSession::Scanned(CDriver&, uint64_t next) {
  m_nNext = next;
  if (std::chrono::steady_clock::now() - m_lastSave < m_interval) return;
  std::string error;
  if (!Save(&error)) m_strError = error;
}
