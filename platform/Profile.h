// Private-profile (INI) files: the settings file and the language files.
//
// Semantics the program relies on:
// - section and key names compare case-insensitively (ASCII);
// - blanks around names and values are dropped, and one pair of matching quotes
//   around a value is removed;
// - a missing file, section or key yields the caller's default; an empty value is a
//   present, empty value;
// - lines starting with ';' or '#' are comments; the file is UTF-8;
// - every read opens and parses the file anew: nothing is cached.
// Writing rewrites the whole file through a temporary file and a rename, so a crash
// never leaves half a settings file.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace profile {

// The value of key in section, or nothing when the file, section or key is absent.
std::optional<std::string> Read(const std::string& file, const std::string& section, const std::string& key);

// Every key = value of a section, in file order; the first of duplicate keys wins.
std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& file, const std::string& section);

// The value, or def when absent; at most maxChars characters (UTF-8 code points).
std::string GetString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def, size_t maxChars = 999);

// A decimal integer (optional sign); def when absent, empty or not a number.
long long GetInt(const std::string& file, const std::string& section, const std::string& key, long long def);

// Sets key = value in section, creating the file, its folder and the section as
// needed. False with *error set when the file cannot be written.
bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                 const std::string& value, std::string* error = nullptr);

}  // namespace profile
