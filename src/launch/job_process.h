// The last step of a run: the command started under the restricted token,
// inside a job with every user-interface restriction, and waited for.
#pragma once

#include <cstdint>

#include "core/errors.h"
#include "launch/command_resolution.h"
#include "platform/os.h"

namespace obrex {

// How the command must be created for the sandbox's job to take it, found
// before anything on disk changes (it only reads). A process that stays in
// another job cannot be put into a job with UI limits, and a child is born
// into every job of its parent, so when this program runs in a job:
// - the job lets children break away silently: nothing more is needed (0);
// - it lets them break away on request: CREATE_BREAKAWAY_FROM_JOB;
// - it allows neither: an error, since the command could only run in a job
//   without UI limits, which the sandbox never falls back to.
// Outside any job: 0.
Result<std::uint32_t> job_breakaway_flags(Os& os);

// Creates an unnamed job limited by JOB_OBJECT_UILIMIT_ALL, starts the
// command suspended under `token` (handles inherited, this program's
// standard handles, environment and current directory, error mode 3), puts
// it into the job before it runs any code, resumes it and waits without a
// time-out. `breakaway_flags` (from job_breakaway_flags) join the creation
// flags. While the command runs, Ctrl+C and Ctrl+Break do not end this
// program: the command gets them and decides, and its exit code is passed on. The command's exit
// code, all 32 bits, or the failure. The job, process and thread handles are closed on every path;
// the token stays the caller's. When the wait itself fails the command is left running in its job.
Result<std::uint32_t> run_in_job(Os& os, Handle token, const ResolvedCommand& command,
                                 std::uint32_t breakaway_flags);

} // namespace obrex
