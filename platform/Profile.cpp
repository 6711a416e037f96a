#include "platform/Profile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "platform/Text.h"

namespace profile {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> ReadLines(const std::string& file, bool* exists) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  *exists = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (!lines.empty() && lines[0].size() >= 3 && lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].erase(0, 3);
  return lines;
}

// "[name]" gives name; anything else gives nothing.
std::optional<std::string> SectionName(const std::string& line) {
  std::string t = Trim(line);
  if (t.size() >= 2 && t.front() == '[') {
    size_t close = t.find(']');
    if (close != std::string::npos) return Trim(t.substr(1, close - 1));
  }
  return std::nullopt;
}

bool SplitKey(const std::string& line, std::string& key, std::string& value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return true;
}

}  // namespace

std::optional<std::string> Read(const std::string& file, const std::string& section, const std::string& key) {
  bool exists = false;
  std::vector<std::string> lines = ReadLines(file, &exists);
  bool inSection = false;
  for (const auto& line : lines) {
    if (auto name = SectionName(line)) {
      inSection = text::EqualsNoCaseAscii(*name, section);
      continue;
    }
    std::string k, v;
    if (inSection && SplitKey(line, k, v) && text::EqualsNoCaseAscii(k, key)) return v;
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& file, const std::string& section) {
  bool exists = false;
  std::vector<std::pair<std::string, std::string>> out;
  bool inSection = false;
  for (const auto& line : ReadLines(file, &exists)) {
    if (auto name = SectionName(line)) {
      inSection = text::EqualsNoCaseAscii(*name, section);
      continue;
    }
    std::string k, v;
    if (!inSection || !SplitKey(line, k, v)) continue;
    bool dup = false;
    for (const auto& kv : out) dup = dup || text::EqualsNoCaseAscii(kv.first, k);
    if (!dup) out.emplace_back(k, v);
  }
  return out;
}

std::string GetString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def, size_t maxChars) {
  std::string v = Read(file, section, key).value_or(def);
  // Cut at a character boundary after maxChars code points.
  size_t chars = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if ((uint8_t(v[i]) & 0xC0) != 0x80) {
      if (chars == maxChars) return v.substr(0, i);
      ++chars;
    }
  }
  return v;
}

long long GetInt(const std::string& file, const std::string& section, const std::string& key, long long def) {
  auto v = Read(file, section, key);
  if (!v || v->empty()) return def;
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(v->c_str(), &end, 10);
  if (errno != 0 || end == v->c_str() || *end != '\0') return def;
  return n;
}

bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& value, std::string* error) {
  bool exists = false;
  std::vector<std::string> lines = ReadLines(file, &exists);
  const std::string newLine = key + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;  // index after the last line of the section
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (auto name = SectionName(lines[i])) {
      if (inSection) break;
      inSection = text::EqualsNoCaseAscii(*name, section);
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    std::string k, v;
    if (SplitKey(lines[i], k, v) && text::EqualsNoCaseAscii(k, key)) {
      lines[i] = newLine;
      done = true;
    } else if (!Trim(lines[i]).empty()) {
      sectionEnd = i + 1;
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
      lines.push_back("[" + section + "]");
      lines.push_back(newLine);
    } else {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), newLine);
    }
  }
  std::error_code ec;
  std::filesystem::path path(file);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  std::string tmp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    for (const auto& l : lines) out << l << '\n';
    out.flush();
    if (!out) {
      if (error) *error = file + ": cannot write the file";
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::filesystem::rename(tmp, file, ec);
  if (ec) {
    if (error) *error = file + ": " + ec.message();
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

}  // namespace profile
