// Readable gtest output for parsed command lines.
#pragma once

#include <ostream>
#include <variant>

#include "frontend/run_request.h"

namespace obrex {

inline void PrintTo(const RunRequest& request, std::ostream* os) {
  const auto list = [os](const char* name, const std::vector<std::string>& texts) {
    *os << ' ' << name << '[';
    for (const auto& text : texts) {
      *os << " \"" << text << '"';
    }
    *os << " ]";
  };
  *os << "{project \"" << request.project << '"';
  list("write", request.write_dirs);
  list("deny", request.deny_dirs);
  list("read-only", request.read_only_dirs);
  if (const auto* verbatim = std::get_if<Verbatim>(&request.command)) {
    *os << " verbatim \"" << verbatim->program << "\" \"" << verbatim->command_line << "\"}";
  } else {
    list("argv", std::get<ArgumentList>(request.command).argv);
    *os << '}';
  }
}

} // namespace obrex
