// The program's settings and where they are kept.
//
// The settings live in $XDG_CONFIG_HOME/Tarnwell/Tarnwell Quarrow.conf (default
// ~/.config/...), section [Settings], integers in decimal. A missing or unreadable value
// takes its default.
#pragma once

#include <cstdint>
#include <string>

struct CSettings {
  uint32_t AutoUpdate = 0;          // non-zero: check for a newer version at start
  int32_t Language = -1;            // language id; -1 is the system's default
  char16_t ReplaceChar = u'_';      // stands in for the lost first character of deleted FAT names
  uint32_t ScanDir = 0;             // non-zero: the FAT lost-folder scan first marks reachable folders
  uint32_t DeepScanWizard = 1;      // non-zero: the deep-scan wizard opens on its welcome page
  uint32_t PreviewLargeFile = 10;   // largest previewed file, MiB
  uint32_t RecoveryWizard = 1;      // non-zero: the welcome wizard runs after start-up
  uint32_t ReadRetries = 1;         // further tries of a failed read (platform/BadAreas.h); at most 100
  uint32_t SkipAfter = 16;          // unreadable sectors in a row before a bad area is searched past; 0 never
};

// The bad-sector policy the settings give (platform/BadAreas.h).
struct BadSectorPolicy;
BadSectorPolicy PolicyFromSettings(const CSettings& settings);

// The settings file path.
std::string SettingsFilePath();

// Reads AutoUpdate, ReplaceChar, ScanDir, RecoveryWizard, DeepScanWizard,
// PreviewLargeFile, Language, ReadRetries and SkipAfter, in this order, each with its
// default.
void LoadSettings(CSettings& settings, const std::string& file = SettingsFilePath());

// Writes AutoUpdate, ReplaceChar, ScanDir, RecoveryWizard, DeepScanWizard,
// PreviewLargeFile, ReadRetries and SkipAfter in this order; Language is never written. False with *error set
// when the file cannot be written.
bool SaveSettings(const CSettings& settings, const std::string& file = SettingsFilePath(),
                  std::string* error = nullptr);
