// Small helpers for the command line's output: UTF-8 conversion and one-object-per-line JSON.
#pragma once

#include <ctime>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Text.h"

inline std::string U8(const std::u16string& s) { return text::ToUtf8(s); }

// A node time (seconds since 1970 UTC) as ISO 8601 in UTC, "2024-05-01T09:30:00Z"; null for
// 0, the time a node carries when its file system gave none that converts.
inline nlohmann::json UtcTimeJson(int64_t t) {
  if (t == 0) return nullptr;
  std::tm tm{};
  const time_t tt = time_t(t);
  if (!::gmtime_r(&tt, &tm)) return nullptr;
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The same time as seconds since 1970 UTC; null for 0.
inline nlohmann::json EpochJson(int64_t t) { return t == 0 ? nlohmann::json(nullptr) : nlohmann::json(t); }

inline void PrintJsonLine(const nlohmann::json& j) {
  std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

// Exit statuses of every command.
enum : int { EXIT_DONE = 0, EXIT_INCOMPLETE = 1, EXIT_BAD_INPUT = 2 };
