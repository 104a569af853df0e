// The eight steps of a run, in their fixed order.
#pragma once

#include <cstdint>

#include "frontend/errors.h"
#include "frontend/run_request.h"
#include "platform/os.h"

namespace obrex {

// Resolves the command, derives the sandbox identity, prepares the file
// system and the environment, builds the restricted token and runs the
// command in a job. The command's exit code, or the first step's error.
Result<std::uint32_t> run_sandbox(Os& os, const RunRequest& request);

} // namespace obrex
