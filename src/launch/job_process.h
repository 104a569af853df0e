// The last step of a run: the command started under the restricted token,
// inside a job with every user-interface restriction, and waited for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/errors.h"
#include "launch/command_resolution.h"
#include "platform/os.h"

namespace obrex {

// How the command leaves the jobs this program runs in.
struct Breakaway {
  bool in_job = false;              // this program runs in a job
  std::uint32_t creation_flags = 0; // 0 or CREATE_BREAKAWAY_FROM_JOB
  friend bool operator==(const Breakaway&, const Breakaway&) = default;
};

// How the command must be created for the sandbox's job to take it, found
// before anything on disk changes. A process that stays in another job
// cannot be put into a job with UI limits, and a child is born into every
// job of its parent that does not let it break away: silently, or on
// request, from the innermost job outwards until a job keeps it. Only a try
// shows where a child lands, so when this program runs in a job it starts
// its own executable suspended, without inherited handles, asks whether
// that process is in any job, ends it (exit code 0) and waits for it: first
// created as usual, then with CREATE_BREAKAWAY_FROM_JOB (a request that the
// innermost job refuses with error 5 counts as staying). The first way that
// leaves every job is the command's. When neither does: an error, since the
// command could only run in a job without UI limits, which the sandbox
// never falls back to. Outside any job: one question, {false, 0}.
Result<Breakaway> plan_breakaway(Os& os);

// Creates an unnamed job limited by JOB_OBJECT_UILIMIT_ALL and, when this
// program runs in a job, by JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE: the command
// has then left the jobs its caller controls, and ending this program (the
// only holder of the job's handle) ends it and every process it started.
// Installs the console handler, starts the command suspended under `token`
// (handles inherited, this program's standard handles and current
// directory, `environment` or, when nullopt, this program's environment,
// error mode 3), puts it into the job before it runs any code, resumes it
// and waits without a time-out. `breakaway.creation_flags` join the
// creation flags.
//
// Ctrl+C and Ctrl+Break do not end this program once the handler is in: the
// command gets them and decides, and its exit code is passed on. One that
// came before the resume (checked after the creation and after the
// assignment) ends the command, which never ran, and the result is
// STATUS_CONTROL_C_EXIT (0xC000013A), as for a program that Ctrl+C ended.
// Closing the console ends the command with the same code.
//
// The command's exit code, all 32 bits, or the failure. The job, process
// and thread handles are closed on every path; the token stays the
// caller's. When the wait itself fails the command is left running in its
// job (and so ended at once where the job kills on close).
Result<std::uint32_t> run_in_job(Os& os, Handle token, const ResolvedCommand& command,
                                 const Breakaway& breakaway,
                                 const std::optional<std::u16string>& environment);

} // namespace obrex
