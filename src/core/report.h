// How both programs show a failure: one line on standard error, its control
// characters escaped, and the writer to a standard stream under it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

inline constexpr std::uint32_t kExitFailure = 126;
inline constexpr std::uint32_t kExitInternalFailure = 101;

// escape_control_characters, the escaping of the failure line, is declared
// in obrex/sandbox.h for programs that use the library.

// Writes "{program}: {message}\n" to standard error, its control characters
// escaped, as write_standard_stream does. A failed write is an internal
// failure.
void report_failure(Os& os, std::string_view message, std::string_view program = kProgramName);

// Writes `text` to the standard handle `which` (STD_OUTPUT_HANDLE or
// STD_ERROR_HANDLE): UTF-16 through WriteConsoleW for a console whose output
// code page is not UTF-8, UTF-8 bytes otherwise. Success when there is no
// such handle; the error of a failed write otherwise.
OsResult<void> write_standard_stream(Os& os, std::uint32_t which, std::string_view text);

// write_standard_stream to standard error, for `line` (a whole line, its
// line feed included).
OsResult<void> write_standard_error(Os& os, std::string_view line);

} // namespace obrex
