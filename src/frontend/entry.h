// The program from its command line to its exit status.
#pragma once

#include <cstdint>
#include <functional>

#include "obrex/sandbox.h"
#include "platform/os.h"

namespace obrex {

// One run of the sandbox for a parsed request: the command's exit code, or
// the error that stopped the run.
using RunSandbox = std::function<Result<std::uint32_t>(Os&, const RunRequest&)>;

// Reads the process command line, runs the sandbox once through `run`, and
// returns the exit status: the command's exit code; 126 after a usage
// message or a failed run (its line written to standard error); 101 after an
// internal failure (its diagnostic written to standard error). The caller
// ends the process with it.
std::uint32_t run_program(Os& os, const RunSandbox& run);

} // namespace obrex
