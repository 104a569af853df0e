// obrex-sandbox-acl from its command line to its exit status.
#include <string>
#include <vector>

#include "acl/acl_command_line.h"
#include "acl/acl_commands.h"
#include "acl/check_command.h"
#include "core/errors.h"
#include "core/report.h"
#include "obrex/sandbox.h"
#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {
namespace {

constexpr std::uint32_t kSucceeded = 0;
constexpr std::uint32_t kFailed = 1;
constexpr std::uint32_t kUsageError = 2;

// The diagnostic of an internal failure as one line of this program, whichever
// program name the library gave it.
std::string diagnostic_line(const InternalFailure& failure) {
  std::string_view diagnostic = failure.diagnostic();
  for (const std::string_view name : {kProgramName, kAclProgramName}) {
    const std::string prefix = std::string(name) + ": ";
    if (diagnostic.starts_with(prefix)) {
      diagnostic.remove_prefix(prefix.size());
    }
  }
  return std::string(kAclProgramName) + ": " + escape_control_characters(diagnostic) + "\n";
}

} // namespace

void AclOutput::print(std::string_view lines) {
  if (quiet_) {
    return;
  }
  if (const auto written = write_standard_stream(os_, win::STD_OUTPUT_HANDLE, lines); !written) {
    throw InternalFailure(std::string(kAclProgramName) + ": cannot write to standard output: " +
                          os_error_text(os_, written.error()));
  }
}

void AclOutput::fail(std::string_view message) {
  failed_ = true;
  report_failure(os_, message, kAclProgramName);
}

void AclOutput::note(std::string_view message) {
  report_failure(os_, "note: " + std::string(message), kAclProgramName);
}

std::string output_line(std::initializer_list<std::string_view> fields) {
  std::string line;
  for (const std::string_view field : fields) {
    if (!line.empty()) {
      line += '\t';
    }
    line += escape_control_characters(field);
  }
  line += '\n';
  return line;
}

std::uint32_t run_acl_program(Os& os) {
  try {
    const auto raw = os.get_command_line();
    const auto elements = split_command_line(raw, [&os] {
      auto name = os.get_module_file_name();
      return name ? std::move(*name) : std::u16string();
    });
    std::vector<std::string> arguments;
    for (std::size_t i = 1; i < elements.size(); ++i) {
      auto argument = utf16_to_utf8(elements[i]);
      if (!argument) {
        report_failure(os, "argument " + std::to_string(i) + " is not valid UTF-16",
                       kAclProgramName);
        return kUsageError;
      }
      arguments.push_back(std::move(*argument));
    }
    const auto invocation = parse_acl_arguments(arguments);
    if (!invocation) {
      report_failure(os, invocation.error(), kAclProgramName);
      return kUsageError;
    }
    AclOutput out(os);
    if (std::holds_alternative<AclHelp>(*invocation)) {
      out.print(acl_help_text());
      return kSucceeded;
    }
    if (std::holds_alternative<AclVersion>(*invocation)) {
      out.print(std::string(kAclProgramName) + " " + OBREX_VERSION + "\n");
      return kSucceeded;
    }
    const AclRequest& request = std::get<AclRequest>(*invocation);
    switch (request.command) {
    case AclCommand::Sid:
      print_sids(os, out, request.paths);
      break;
    case AclCommand::Show:
      show_paths(os, out, request);
      break;
    case AclCommand::Revoke:
      revoke_paths(os, out, request);
      break;
    case AclCommand::Check:
      switch (request.check_form) {
      case CheckForm::Whole:
        return run_check(os, out, request);
#if defined(_WIN32)
      case CheckForm::Probes:
        return run_check_probes(request.paths);
      case CheckForm::Wait:
        return run_check_wait(request.paths[0]);
#else
      case CheckForm::Probes:
      case CheckForm::Wait:
        out.fail("the probes run on Windows only");
        break;
#endif
      }
      break;
    }
    return out.failed() ? kFailed : kSucceeded;
  } catch (const InternalFailure& failure) {
    // Nothing is left to report a failure of this last write to.
    static_cast<void>(write_standard_error(os, diagnostic_line(failure)));
    return kFailed;
  }
}

} // namespace obrex
