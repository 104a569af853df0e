// End-to-end runs of the real obrex-sandbox-exec.exe from the Windows tests.
//
// Each run starts the executable with a raw command line of the test's
// choosing, captures its standard output and standard error separately
// through pipes (standard input is NUL), waits for it and returns what came
// out. The outputs are read until every process holding the pipes has closed
// them, so a sandboxed command's children finish before the run returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace obrex::e2e {

struct RunOutcome {
  std::uint32_t exit_code = 0;
  std::string out; // bytes written to standard output
  std::string err; // bytes written to standard error
};

// A variable set (or, with nullopt, removed) in the environment that the run
// inherits; the test process's own environment is restored afterwards.
using EnvironmentOverride = std::pair<std::wstring, std::optional<std::wstring>>;

// Whether the tests run under Wine (its ntdll exports wine_get_version).
// Wine does not enforce or report everything Windows does; tests of what it
// lacks skip under it, saying what.
bool running_under_wine();

// Full paths of the programs next to the test executable.
std::wstring obrex_path();
std::wstring probe_path();

// Wraps a path in double quotes, as the first word of a command line.
std::wstring quoted_path(std::wstring_view path);

// Starts `program` with exactly `command_line` (its first word included) as
// the process command line.
RunOutcome run_raw(const std::wstring& program, const std::wstring& command_line,
                   const std::vector<EnvironmentOverride>& environment = {});

// Starts obrex-sandbox-exec.exe with the command line: its quoted path, a
// space and `arguments`.
RunOutcome run_obrex(std::wstring_view arguments,
                     const std::vector<EnvironmentOverride>& environment = {});

// The value of the first "key=value" line that the probe printed with `key`,
// or nullopt.
std::optional<std::string> probe_value(std::string_view out, std::string_view key);

// The bytes of a UTF-16 text in UTF-8, for comparing with what a run wrote.
std::string utf8(std::wstring_view text);

} // namespace obrex::e2e
