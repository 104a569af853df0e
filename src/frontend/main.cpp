// The program's entry point: the real system, one run, and the exit status.
#include <cstdint>

#include "frontend/entry.h"
#include "frontend/run_sequence.h"
#include "platform/win32_os.h"

int main() {
  // advapi32 loads helpers of its own (ntmarta.dll for the security calls):
  // they too come from the system directory, never from next to the
  // executable, where a sandboxed command may be able to write.
  obrex::restrict_dll_search_to_system_directory();
  obrex::Win32Os os;
  const std::uint32_t code = obrex::run_program(os, obrex::run_sandbox);
  os.exit_process(code);
}
