// How the program shows a failure: one line on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

inline constexpr std::uint32_t kExitFailure = 126;
inline constexpr std::uint32_t kExitInternalFailure = 101;

// The text with every C0 control character, DEL and C1 control character
// written as a visible escape, \xHH with the code in lower-case hex, so that
// a path or argument can neither break the line nor drive the terminal.
// Every other character stays as it is.
std::string escape_control_characters(std::string_view text);

// Writes "obrex-sandbox-exec: {message}\n" to standard error, its control
// characters escaped: UTF-16 through WriteConsoleW for a console whose output
// code page is not UTF-8, UTF-8 bytes otherwise; nothing when there is no
// standard-error handle. A failed write is an internal failure.
void report_failure(Os& os, std::string_view message);

// Writes `line` (a whole line, its line feed included) to standard error as
// report_failure does, and hands back the error of a failed write instead of
// throwing. Success when there is no standard-error handle.
OsResult<void> write_standard_error(Os& os, std::string_view line);

} // namespace obrex
