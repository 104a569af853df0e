// End-to-end runs of the real obrex-sandbox-exec.exe from the Windows tests.
//
// Each run starts the executable with a raw command line of the test's
// choosing, captures its standard output and standard error separately
// through pipes (standard input is NUL), waits for it and returns what came
// out. The outputs are read until every process holding the pipes has closed
// them, so a sandboxed command's children finish before the run returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <latch>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace obrex::e2e {

struct RunOutcome {
  std::uint32_t exit_code = 0;
  std::string out;        // bytes written to standard output
  std::string err;        // bytes written to standard error
  bool timed_out = false; // ended by the harness when its time limit passed
  // The IDs of the processes that joined any of the jobs the run was
  // started in (StartOptions::jobs), the program's own included.
  std::vector<std::uint32_t> job_members;
};

// A variable set (or, with nullopt, removed) in the environment that the run
// inherits; the test process's own environment is restored afterwards.
using EnvironmentOverride = std::pair<std::wstring, std::optional<std::wstring>>;

// Whether the tests run under Wine (its ntdll exports wine_get_version).
// Tests of what Wine lacks skip under it, saying what.
bool running_under_wine();

// Full paths of the programs next to the test executable.
std::wstring obrex_path();
std::wstring probe_path();
// The full path of another file the build put next to the test executable.
std::wstring built_file_path(std::wstring_view name);

// Wraps a path in double quotes, as the first word of a command line.
std::wstring quoted_path(std::wstring_view path);

// How long a run may take before the harness ends it; none by default.
using TimeLimit = std::optional<std::chrono::milliseconds>;

// How a run is started beyond the defaults: inside new jobs with these
// limit flags (JOB_OBJECT_LIMIT_*), the innermost first, each nested in the
// next, assigned before the program runs any code, and with these process
// creation flags added.
// `started`, when set, is called with the process ID once the program runs,
// before its output is read.
struct StartOptions {
  std::vector<std::uint32_t> jobs;
  std::uint32_t creation_flags = 0;
  std::function<void(std::uint32_t process_id)> started;
};

// Starts `program` with exactly `command_line` (its first word included) as
// the process command line. Safe to call from several threads at once when
// no environment override is given; with `start_together`, each such run is
// created suspended and let go only when every thread has arrived at it.
RunOutcome run_raw(const std::wstring& program, const std::wstring& command_line,
                   const std::vector<EnvironmentOverride>& environment = {},
                   TimeLimit time_limit = std::nullopt, std::latch* start_together = nullptr,
                   const StartOptions& options = {});

// Starts obrex-sandbox-exec.exe with its quoted path, a space and
// `arguments` as the command line.
RunOutcome run_obrex(std::wstring_view arguments,
                     const std::vector<EnvironmentOverride>& environment = {},
                     TimeLimit time_limit = std::nullopt, std::latch* start_together = nullptr,
                     const StartOptions& options = {});

// The value of the first "key=value" line that the probe printed with `key`,
// or nullopt.
std::optional<std::string> probe_value(std::string_view out, std::string_view key);

std::string utf8(std::wstring_view text);

// One argument written for a command line so that the C runtime's splitting
// gives it back unchanged, and the arguments so written, one space apart.
std::wstring command_line_argument(std::wstring_view argument);
std::wstring command_line(const std::vector<std::wstring>& arguments);

// The system's description of an error code, without the line break it ends
// in, then " (os error N)": how the program ends a message about a failed
// call.
std::string os_error_text(std::uint32_t code);

// One part of a path's security descriptor (DACL_SECURITY_INFORMATION,
// LABEL_SECURITY_INFORMATION) as SDDL text; a failure to read it fails the
// test and gives "".
std::string security_text(const std::wstring& path, std::uint32_t part);

// How often `part` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& part);

// The user's sandbox temporary directory, where runs point TEMP and TMP.
std::wstring sandbox_temp_directory();

// The user's sandbox temporary directory and the two levels above it that a
// run creates when they are missing.
struct SandboxTempLevels {
  SandboxTempLevels();
  // Removes the three levels as far as they are empty: other runs may have
  // left files there.
  void remove_empty() const;

  std::wstring tornel, obrex, sandbox_temp;
};

// A fresh, empty directory under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDirectory {
public:
  TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::wstring& path() const { return path_; }
  // The full path of `relative` inside the directory.
  std::wstring operator/(std::wstring_view relative) const;

  // Each creates `relative` inside (its parent must exist) and returns its
  // full path.
  std::wstring make_directory(std::wstring_view relative) const;
  std::wstring make_file(std::wstring_view relative) const;
  std::wstring copy_probe(std::wstring_view relative) const;
  std::wstring copy(const std::wstring& source, std::wstring_view relative) const;

private:
  std::wstring path_;
};

} // namespace obrex::e2e
