#include "app/Language.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

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

std::string DefaultLanguageDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string dir = ".";
  if (n > 0) {
    std::string exe(buf, static_cast<size_t>(n));
    dir = exe.substr(0, exe.rfind('/'));
  }
  return dir + "/Language/";
}

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

std::u16string GetString(const std::string& key, const std::u16string& builtIn) {
  std::u16string value = builtIn;
  if (!g_strLanguageFile.empty()) {
    if (auto v = profile::Read(g_strLanguageFile, "String", key)) {
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
