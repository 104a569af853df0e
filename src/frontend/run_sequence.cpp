#include "obrex/sandbox.h"

#include <optional>

#include "filesystem/access_grants.h"
#include "filesystem/labels.h"
#include "filesystem/sandbox_temp.h"
#include "identity/restricted_token.h"
#include "identity/sandbox_identity.h"
#include "launch/command_resolution.h"
#include "launch/job_process.h"

namespace obrex {

// The run owns the resolved command, the identity, the temporary directory
// path and the token; each is released when it goes out of scope, on every
// path. The steps that only read come first, so a command that cannot be
// resolved or a project without a file identity changes nothing on disk.
Result<std::uint32_t> run_sandbox(Os& os, const RunRequest& request) {
  const auto command = resolve_command(os, request.command);
  if (!command) {
    return std::unexpected(command.error());
  }
  const auto identity = derive_sandbox_identity(os, request.project, request.read_only_dirs);
  if (!identity) {
    return std::unexpected(identity.error());
  }
  // Before any change too: a launcher whose jobs would keep the command out
  // of the sandbox's job fails here, with nothing on disk changed.
  const auto breakaway = plan_breakaway(os);
  if (!breakaway) {
    return std::unexpected(breakaway.error());
  }
  // Asked for once: the temporary directory and the permissions lock's file
  // are both in it.
  const auto profile = os.get_known_folder_path_profile();
  const auto temp = prepare_sandbox_temp(os, profile);
  if (!temp) {
    return std::unexpected(temp.error());
  }
  if (auto written = prepare_write_paths(os, request.write_dirs, identity->sid.get(),
                                         identity->sid_text, profile);
      !written) {
    return std::unexpected(std::move(written.error()));
  }
  if (auto denied = protect_denied_paths(os, request.deny_dirs); !denied) {
    return std::unexpected(std::move(denied.error()));
  }
  const auto environment = sandbox_environment(os, *temp);
  const auto token = build_restricted_token(os, *identity);
  if (!token) {
    return std::unexpected(token.error());
  }
  // The token is closed when this returns, whatever the launch gave.
  return run_in_job(os, token->get(), *command, *breakaway, environment);
}

} // namespace obrex
