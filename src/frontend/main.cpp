// The program's entry point: the real system, one run, and the exit status.
#include <cstdint>

#include "frontend/entry.h"
#include "frontend/run_sequence.h"
#include "platform/win32_os.h"

int main() {
  obrex::Win32Os os;
  const std::uint32_t code = obrex::run_program(os, obrex::run_sandbox);
  os.exit_process(code);
}
