// What one run is asked to do, as read from the command line.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace obrex {

// The command given after "--": the program as typed, then its arguments.
struct ArgumentList {
  std::vector<std::string> argv;
  friend bool operator==(const ArgumentList&, const ArgumentList&) = default;
};

// The command given with "--verbatim": both texts passed through unchanged.
struct Verbatim {
  std::string program;
  std::string command_line;
  friend bool operator==(const Verbatim&, const Verbatim&) = default;
};

using CommandSpec = std::variant<ArgumentList, Verbatim>;

// Texts are UTF-8, exactly as typed: nothing is checked, completed or looked
// up here.
struct RunRequest {
  std::string project;
  std::vector<std::string> write_dirs;
  std::vector<std::string> deny_dirs;
  std::vector<std::string> read_only_dirs;
  CommandSpec command;
  friend bool operator==(const RunRequest&, const RunRequest&) = default;
};

} // namespace obrex
