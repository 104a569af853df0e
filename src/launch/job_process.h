// The last step of a run: the command started under the restricted token,
// inside a job with every user-interface restriction, and waited for.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "launch/command_resolution.h"
#include "platform/os.h"

namespace obrex {

// Creates an unnamed job limited by JOB_OBJECT_UILIMIT_ALL, starts the
// command suspended under `token` (handles inherited, this program's
// standard handles, environment and current directory, error mode 3), puts
// it into the job before it runs any code, resumes it and waits without a
// time-out. The command's exit code, all 32 bits, or the failure. The job,
// process and thread handles are closed on every path; the token stays the
// caller's. When the wait itself fails the command is left running in its
// job.
Result<std::uint32_t> run_in_job(Os& os, Handle token, const ResolvedCommand& command);

} // namespace obrex
