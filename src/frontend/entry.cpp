#include "frontend/entry.h"

#include <string>
#include <string_view>

#include "core/report.h"
#include "obrex/sandbox.h"

namespace obrex {
namespace {

// The internal failure as one line that begins with the program's name,
// whatever form its diagnostic was given in.
std::string diagnostic_line(const InternalFailure& failure) {
  const std::string prefix = std::string(kProgramName) + ": ";
  std::string line = failure.diagnostic().starts_with(prefix) ? "" : prefix;
  line += escape_control_characters(failure.diagnostic());
  line.push_back('\n');
  return line;
}

} // namespace

std::uint32_t run_program(Os& os, const RunSandbox& run) {
  try {
    const auto raw = os.get_command_line();
    const auto elements = split_command_line(raw, [&os] {
      auto name = os.get_module_file_name();
      return name ? std::move(*name) : std::u16string();
    });
    const auto request = read_command_line(elements);
    if (!request) {
      report_failure(os, request.error().message);
      return kExitFailure;
    }
    const auto outcome = run(os, *request);
    if (!outcome) {
      report_failure(os, outcome.error().message);
      return kExitFailure;
    }
    return *outcome;
  } catch (const InternalFailure& failure) {
    // Nothing is left to report a failure of this last write to.
    static_cast<void>(write_standard_error(os, diagnostic_line(failure)));
    return kExitInternalFailure;
  }
}

} // namespace obrex
