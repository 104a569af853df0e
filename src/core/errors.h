// What every step needs to describe a failure: the operating-system error
// text of a code, and how paths and system texts are shown in messages. The
// error value itself, SandboxError, and InternalFailure are part of the
// library's interface.
#pragma once

#include <string>
#include <string_view>

#include "obrex/sandbox.h"
#include "platform/os.h"

namespace obrex {

inline constexpr std::string_view kProgramName = "obrex-sandbox-exec";

// The system's description of `code`, then " (os error N)" with N the code
// as a signed 32-bit number.
std::string os_error_text(Os& os, OsCode code);

// Shows a path or system text in a message: unpaired surrogates become
// U+FFFD.
std::string display_text(std::u16string_view units);

} // namespace obrex
