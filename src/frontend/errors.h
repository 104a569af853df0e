// How a failure is described, shown, and how the program ends because of it.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <string_view>

#include "platform/os.h"

namespace obrex {

// The error value of every step: the finished message, printed after the
// program's name.
struct SandboxError {
  std::string message;

  // The context alone.
  static SandboxError from_context(std::string context);
  // The context, ": " and the text of an operating-system error code.
  static SandboxError from_os_error(Os& os, std::string_view context, OsCode code);
  // The context and a status that a call returned: "error N" (unsigned) for a
  // status that is negative as a signed 32-bit number, the code's text
  // otherwise.
  static SandboxError from_status(Os& os, std::string_view context, std::uint32_t status);

  friend bool operator==(const SandboxError&, const SandboxError&) = default;
};

template <class T> using Result = std::expected<T, SandboxError>;

// One of the three conditions that end the program with exit status 101.
// Thrown where it arises and caught only by the entry point, which writes
// `diagnostic` as one line on standard error.
class InternalFailure : public std::exception {
public:
  explicit InternalFailure(std::string diagnostic) : diagnostic_(std::move(diagnostic)) {}
  const char* what() const noexcept override { return diagnostic_.c_str(); }
  const std::string& diagnostic() const { return diagnostic_; }

private:
  std::string diagnostic_;
};

inline constexpr std::string_view kProgramName = "obrex-sandbox-exec";
inline constexpr std::uint32_t kExitFailure = 126;
inline constexpr std::uint32_t kExitInternalFailure = 101;

// The system's description of `code`, then " (os error N)" with N the code
// as a signed 32-bit number.
std::string os_error_text(Os& os, OsCode code);

// The text with every C0 control character, DEL and C1 control character
// written as a visible escape, \xHH with the code in lower-case hex, so that
// a path or argument can neither break the line nor drive the terminal.
// Every other character stays as it is.
std::string escape_control_characters(std::string_view text);

// Writes "obrex-sandbox-exec: {message}\n" to standard error, its control
// characters escaped: UTF-16 through
// WriteConsoleW for a console whose output code page is not UTF-8, UTF-8
// bytes otherwise; nothing when there is no standard-error handle. A failed
// write is an internal failure.
void report_failure(Os& os, std::string_view message);

// Writes `line` (a whole line, its line feed included) to standard error as
// report_failure does, and hands back the error of a failed write instead of
// throwing. Success when there is no standard-error handle.
OsResult<void> write_standard_error(Os& os, std::string_view line);

// Shows a path or system text in a message: unpaired surrogates become
// U+FFFD.
std::string display_text(std::u16string_view units);

} // namespace obrex
