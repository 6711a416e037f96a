#include "settings/Settings.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/BadAreas.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace {
constexpr const char* kSection = "Settings";

uint32_t ReadU32(const std::string& file, const char* key, uint32_t def) {
  long long v = profile::GetInt(file, kSection, key, def);
  if (v < 0 || v > 0xFFFFFFFFLL) return def;
  return static_cast<uint32_t>(v);
}
}  // namespace

std::string SettingsFilePath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  return base + "/Tarnwell/Tarnwell Quarrow.conf";
}

void LoadSettings(CSettings& s, const std::string& file) {
  s.AutoUpdate = ReadU32(file, "AutoUpdate", 0);
  std::u16string replace = text::FromUtf8(profile::GetString(file, kSection, "ReplaceChar", ""));
  s.ReplaceChar = replace.empty() ? u'_' : replace[0];
  s.ScanDir = ReadU32(file, "ScanDir", 0);
  s.RecoveryWizard = ReadU32(file, "RecoveryWizard", 1);
  s.DeepScanWizard = ReadU32(file, "DeepScanWizard", 1);
  s.PreviewLargeFile = ReadU32(file, "PreviewLargeFile", 10);
  long long lang = profile::GetInt(file, kSection, "Language", -1);
  s.Language = (lang < INT32_MIN || lang > INT32_MAX) ? -1 : static_cast<int32_t>(lang);
  s.ReadRetries = ReadU32(file, "ReadRetries", 1);
  if (s.ReadRetries > 100) s.ReadRetries = 1;
  s.SkipAfter = ReadU32(file, "SkipAfter", 16);
}

BadSectorPolicy PolicyFromSettings(const CSettings& s) {
  BadSectorPolicy p;
  p.nRetries = int(std::min<uint32_t>(s.ReadRetries, 100));
  p.nSkipAfter = s.SkipAfter;
  return p;
}

bool SaveSettings(const CSettings& s, const std::string& file, std::string* error) {
  std::u16string replace;
  if (s.ReplaceChar != 0) replace = std::u16string(1, s.ReplaceChar);
  return profile::WriteString(file, kSection, "AutoUpdate", std::to_string(s.AutoUpdate), error) &&
         profile::WriteString(file, kSection, "ReplaceChar", text::ToUtf8(replace), error) &&
         profile::WriteString(file, kSection, "ScanDir", std::to_string(s.ScanDir), error) &&
         profile::WriteString(file, kSection, "RecoveryWizard", std::to_string(s.RecoveryWizard), error) &&
         profile::WriteString(file, kSection, "DeepScanWizard", std::to_string(s.DeepScanWizard), error) &&
         profile::WriteString(file, kSection, "PreviewLargeFile", std::to_string(s.PreviewLargeFile), error) &&
         profile::WriteString(file, kSection, "ReadRetries", std::to_string(s.ReadRetries), error) &&
         profile::WriteString(file, kSection, "SkipAfter", std::to_string(s.SkipAfter), error);
}
