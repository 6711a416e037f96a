#include "settings/Language.h"

#include <cctype>
#include <map>
#include <chrono>
#include <mutex>
#include <optional>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/DataDirectory.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace {
std::string g_strLanguageFile;

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

int SystemDefaultLanguageId() {
  const char* vars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string loc;
  for (const char* v : vars) {
    const char* s = std::getenv(v);
    if (s && *s) {
      loc = s;
      break;
    }
  }
  std::string lang = loc.substr(0, 2);
  if (lang == "de") return 0x0407;
  if (lang == "es") return 0x0C0A;
  if (lang == "fr") return 0x040C;
  return 0x0409;
}

std::string DefaultLanguageDirectory() { return datadir::DataDirectory() + "/Language/"; }

void ChooseLanguageFile(int language, const std::string& directory) {
  std::string dir = directory.empty() ? DefaultLanguageDirectory() : directory;
  int id = language == -1 ? SystemDefaultLanguageId() : language;
  const char* name = "english.ini";
  switch (id & 0xFF) {
    case LANG_GERMAN: name = "german.ini"; break;
    case LANG_SPANISH: name = "spanish.ini"; break;
    case LANG_FRENCH: name = "french.ini"; break;
    default: break;
  }
  std::string path = dir + name;
  g_strLanguageFile = FileExists(path) ? path : dir + "english.ini";
}

const std::string& LanguageFilePath() { return g_strLanguageFile; }

namespace {
// The language file's [String] section, read again whenever the file changes (its size,
// modification time or identity), so a lookup answers what the file says now without
// reading it for every item of a long list. The file is looked at again when another file
// is asked for, and otherwise at most every kRecheck: a list of 200,000 items asks for
// its texts 400,000 times.
constexpr auto kRecheck = std::chrono::milliseconds(100);
struct LanguageCache {
  std::mutex mutex;
  std::string strPath;
  std::chrono::steady_clock::time_point checked;
  struct stat st {};
  bool bExists = false;
  std::map<std::string, std::string> values;  // keys upper-cased
};
LanguageCache g_cache;

std::string UpperKey(std::string k) {
  for (auto& c : k) c = char(std::toupper(static_cast<unsigned char>(c)));
  return k;
}

std::optional<std::string> LookUp(const std::string& file, const std::string& key) {
  std::lock_guard lock(g_cache.mutex);
  const auto now = std::chrono::steady_clock::now();
  if (file == g_cache.strPath && now - g_cache.checked < kRecheck && now >= g_cache.checked) {
    auto it = g_cache.values.find(UpperKey(key));
    if (it == g_cache.values.end()) return std::nullopt;
    return it->second;
  }
  g_cache.checked = now;
  struct stat st {};
  bool exists = ::stat(file.c_str(), &st) == 0;
  bool same = exists == g_cache.bExists && file == g_cache.strPath &&
              (!exists || (st.st_size == g_cache.st.st_size && st.st_mtim.tv_sec == g_cache.st.st_mtim.tv_sec &&
                           st.st_mtim.tv_nsec == g_cache.st.st_mtim.tv_nsec && st.st_ino == g_cache.st.st_ino));
  if (!same) {
    g_cache.strPath = file;
    g_cache.bExists = exists;
    g_cache.st = st;
    g_cache.values.clear();
    if (exists)
      for (auto& [k, v] : profile::ReadSection(file, "String")) g_cache.values.emplace(UpperKey(k), v);
  }
  auto it = g_cache.values.find(UpperKey(key));
  if (it == g_cache.values.end()) return std::nullopt;
  return it->second;
}
}  // namespace

std::u16string GetString(const std::string& key, const std::u16string& builtIn) {
  std::u16string value = builtIn;
  if (!g_strLanguageFile.empty()) {
    if (auto v = LookUp(g_strLanguageFile, key)) {
      value = text::FromUtf8(*v);
      if (value.size() > 999) value.resize(999);
    }
  }
  std::u16string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == u'\\' && i + 1 < value.size() && value[i + 1] == u'n') {
      out += u'\n';
      ++i;
    } else {
      out += value[i];
    }
  }
  return out;
}
