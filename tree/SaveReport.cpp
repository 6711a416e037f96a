#include "tree/SaveReport.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "device/Driver.h"
#include "platform/RawDevice.h"
#include "platform/Text.h"

const char* StatusWord(uint32_t status) {
  switch (status) {
    case STATUS_EXISTING: return "existing";
    case STATUS_EXCELLENT: return "excellent";
    case STATUS_GOOD: return "good";
    default: return "poor";
  }
}

namespace {
nlohmann::json Ranges(const std::vector<IOutputFile::ByteRange>& ranges) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& r : ranges) list.push_back({r.nOffset, r.nLength});
  return list;
}

// Where the item comes from: the source the user named and its size.
void AddSource(nlohmann::json& j, const CDirEntry& item) {
  const CLogicalDriver* volume = item.m_pDriver;
  if (!volume) return;
  if (volume->m_hDevice) {
    j["source"] = volume->m_hDevice->Path();
    j["source_size"] = volume->m_hDevice->SourceSize();
  } else {
    j["source"] = volume->m_source.strPath;
  }
}
}  // namespace

CSaveReport::~CSaveReport() {
  if (m_pFile) std::fclose(m_pFile);
}

bool CSaveReport::Open(const std::string& path, std::string* error) {
  m_pFile = std::fopen(path.c_str(), "we");
  if (!m_pFile) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  m_strPath = path;
  return true;
}

void CSaveReport::Line(const nlohmann::json& object) {
  if (!m_pFile) return;
  const std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), m_pFile) != text.size() || std::fflush(m_pFile) != 0)
    m_bWriteFailed = true;
}

void CSaveReport::File(CFSFile& file, const std::string& writtenPath, const SaveOutcome& outcome) {
  nlohmann::json j = {{"type", "file"}};
  AddSource(j, file);
  j["item"] = ItemPath(&file);
  if (!file.m_strFsPath.empty()) {
    j["fs_path"] = text::ToUtf8(file.m_strFsPath);
    j["fs_deleted"] = file.m_bFsDeleted;
  }
  j["written_to"] = writtenPath;
  j["deleted"] = file.m_bDeleted;
  const uint64_t size = file.GetSize();
  j["size"] = size;
  // The runs read, as byte ranges of the source.
  std::vector<UnitRun> units;
  file.DataUnits(units);
  CLogicalDriver* volume = file.m_pDriver;
  nlohmann::json runs = nlohmann::json::array();
  if (volume && !units.empty()) {
    j["first_unit"] = units.front().nUnit;
    j["offset_bytes"] = volume->SourceByteOffset(units.front().nUnit);
    uint64_t left = size;
    for (const UnitRun& r : units) {
      const uint64_t length = std::min<uint64_t>(left, r.nCount * volume->m_nBytesPerCluster);
      runs.push_back({volume->SourceByteOffset(r.nUnit), length});
      left -= length;
    }
  } else {
    j["first_unit"] = nullptr;
    j["offset_bytes"] = nullptr;
  }
  j["runs"] = std::move(runs);
  file.GetStatusText();  // works the status out when that was left for later
  j["status"] = StatusWord(file.m_nStatus);
  j["status_reason"] = text::ToUtf8(StatusReasonText(file.m_nStatusReason));
  j["result"] = outcome.kind == SaveOutcome::Whole        ? "whole"
                : outcome.kind == SaveOutcome::Incomplete ? "incomplete"
                                                          : "failed";
  j["bytes_written"] = outcome.nBytesWritten;
  j["sha256"] = outcome.strSha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(outcome.strSha256);
  j["unreadable"] = Ranges(outcome.unreadable);
  if (!outcome.strError.empty()) j["error"] = outcome.strError;
  switch (outcome.kind) {
    case SaveOutcome::Whole: ++m_nWhole; break;
    case SaveOutcome::Incomplete: ++m_nIncomplete; break;
    case SaveOutcome::Failed: ++m_nFailed; break;
  }
  m_nBytes += outcome.nBytesWritten;
  Line(j);
}

void CSaveReport::FolderFailed(const CDirEntry& folder, const std::string& path, const std::string& error) {
  nlohmann::json j = {{"type", "folder"}};
  AddSource(j, folder);
  j["item"] = ItemPath(&folder);
  j["written_to"] = path;
  j["result"] = "failed";
  j["error"] = error;
  ++m_nFailed;
  Line(j);
}

void CSaveReport::Totals(const nlohmann::json& extra) {
  nlohmann::json j = {{"type", "totals"},
                      {"files_whole", m_nWhole},
                      {"files_incomplete", m_nIncomplete},
                      {"failed", m_nFailed},
                      {"bytes_written", m_nBytes}};
  if (extra.is_object())
    for (const auto& [key, value] : extra.items()) j[key] = value;
  Line(j);
  if (m_pFile) {
    if (std::fclose(m_pFile) != 0) m_bWriteFailed = true;
    m_pFile = nullptr;
  }
}
