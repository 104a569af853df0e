// obrex-sandbox-exec as a library: read a command line into a request, and
// run one command in the sandbox of a project directory.
//
//   obrex::Os& os = obrex::system_os();
//   const auto request = obrex::parse_arguments(arguments);
//   if (request) {
//     const auto outcome = obrex::run_sandbox(os, *request);
//     // the command's exit code, or the SandboxError that stopped the run
//   }
//
// A run changes the file system for good: the --write paths get a Low
// write label and a grant for the project's sandbox SID, the --deny paths a
// deny label, and the user's sandbox temporary directory is created. The
// command gets TEMP and TMP pointing there through an environment block of
// its own: the calling process's environment is left as it was. The run
// installs a console handler in the calling process that keeps Ctrl+C and
// Ctrl+Break from ending it from just before the command is created (one
// run at a time: the handler is the process's), starts the calling
// process's own executable suspended as a trial when the caller runs in a
// job, and waits for the command without a time-out. See SECURITY.md for
// what the sandbox does and does not enforce.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace obrex {

// The seam to the operating system. The library runs against the real one,
// system_os(); its own tests run against a simulated one.
class Os;

// --- the request ---------------------------------------------------------------

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

// What one run is asked to do. Texts are UTF-8, exactly as typed: nothing is
// checked, completed or looked up here.
struct RunRequest {
  std::string project;
  std::vector<std::string> write_dirs;
  std::vector<std::string> deny_dirs;
  std::vector<std::string> read_only_dirs;
  CommandSpec command;
  friend bool operator==(const RunRequest&, const RunRequest&) = default;
};

// --- errors --------------------------------------------------------------------

// The error value of every step: the finished message, as the program prints
// it after its name, and the operating-system code (the last error or the
// status a call returned) when the failure came from a system call.
struct SandboxError {
  std::string message;
  std::optional<std::uint32_t> os_code;

  // The context alone.
  static SandboxError from_context(std::string context);
  // The context, ": " and the text of an operating-system error code.
  static SandboxError from_os_error(Os& os, std::string_view context, std::uint32_t code);
  // The context and a status that a call returned: "error N" (unsigned) for a
  // status that is negative as a signed 32-bit number, the code's text
  // otherwise.
  static SandboxError from_status(Os& os, std::string_view context, std::uint32_t status);

  friend bool operator==(const SandboxError&, const SandboxError&) = default;
};

template <class T> using Result = std::expected<T, SandboxError>;

// One of the conditions that end the program with exit status 101: an
// argument that is not valid UTF-16, an environment block that cannot be
// read, SHA-256 that is not available. Thrown where it arises; `diagnostic` is one line
// that names the failure.
class InternalFailure : public std::exception {
public:
  explicit InternalFailure(std::string diagnostic) : diagnostic_(std::move(diagnostic)) {}
  const char* what() const noexcept override { return diagnostic_.c_str(); }
  const std::string& diagnostic() const { return diagnostic_; }

private:
  std::string diagnostic_;
};

// Shows a text on one line, inert: every C0 control character, DEL and C1
// control character becomes \xHH (its code in two lower-case hex digits),
// and the line and paragraph separators U+2028 and U+2029 and the
// bidirectional controls U+202A to U+202E and U+2066 to U+2069, which split
// a line or reorder what it shows, become \u{HHHH} (four lower-case hex
// digits). Every other character, and every byte that is not valid UTF-8,
// stays as it is. obrex-sandbox-exec writes its failure line through it; a
// program that shows a SandboxError's message, which repeats paths and
// arguments as given, should do the same.
std::string escape_control_characters(std::string_view text);

// --- the command line ------------------------------------------------------------

// Splits a raw Windows command line (the units up to its first NUL) into its
// elements, the program's name first. When there is no command line or it is
// empty, the single element is `module_file_name()`, which is called only in
// that case.
std::vector<std::u16string>
split_command_line(std::optional<std::u16string_view> raw,
                   const std::function<std::u16string()>& module_file_name);

// Reads the elements that follow the program's name into a request. Each
// element is turned into UTF-8 only when the reading reaches it; one holding
// an unpaired surrogate throws InternalFailure. A command line that does not
// fit the grammar gives its usage message.
Result<RunRequest> parse_arguments(std::span<const std::u16string> arguments);

// The whole split command line: the program's name is converted (and so must
// be valid UTF-16) and skipped, then the rest is parsed.
Result<RunRequest> read_command_line(std::span<const std::u16string> elements);

// --- the run -----------------------------------------------------------------------

// Resolves the command, derives the sandbox identity, prepares the file
// system and the environment, builds the restricted token and runs the
// command in a job. The command's exit code, or the first step's error.
// Throws InternalFailure when the environment block cannot be read.
Result<std::uint32_t> run_sandbox(Os& os, const RunRequest& request);

#if defined(_WIN32)
// The real system. It keeps no state of its own but the console handler's
// record of Ctrl+C and the process the handler ends on close.
Os& system_os();

// Makes every DLL that the process loads from now on come from the system
// directory only (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32),
// also those that system DLLs load on their own, such as advapi32's helpers
// for the security calls. Both programs call it first thing in main: the
// directory beside an executable may be one that a sandboxed command can
// write. The library never calls it, since it changes the whole process;
// the DLLs the library loads itself come from the system directory anyway.
// A program that runs sandboxes should call it before run_sandbox unless it
// must load DLLs from elsewhere.
void restrict_dll_search_to_system_directory();
#endif

} // namespace obrex
