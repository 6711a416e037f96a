// Small helpers for the command line's output: UTF-8 conversion and one-object-per-line JSON.
#pragma once

#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/Text.h"

inline std::string U8(const std::u16string& s) { return text::ToUtf8(s); }

inline void PrintJsonLine(const nlohmann::json& j) {
  std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

// Exit statuses of every command.
enum : int { EXIT_DONE = 0, EXIT_INCOMPLETE = 1, EXIT_BAD_INPUT = 2 };
