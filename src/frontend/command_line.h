// The process command line: split into its elements, then read into a
// RunRequest.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/errors.h"
#include "frontend/run_request.h"

namespace obrex {

// Splits the raw command line (the units up to its first NUL) into its
// elements, the program's name first. When there is no command line or it is
// empty, the single element is `module_file_name()`, which is called only in
// that case.
std::vector<std::u16string>
split_command_line(std::optional<std::u16string_view> raw,
                   const std::function<std::u16string()>& module_file_name);

// Reads the elements that follow the program's name. Each element is turned
// into UTF-8 only when the reading reaches it; one holding an unpaired
// surrogate throws InternalFailure. A command line that does not fit the
// grammar gives its usage message.
Result<RunRequest> parse_arguments(std::span<const std::u16string> arguments);

// The whole split command line: the program's name is converted (and so
// must be valid UTF-16) and skipped, then the rest is parsed.
Result<RunRequest> read_command_line(std::span<const std::u16string> elements);

} // namespace obrex
