// The program's entry point: the real system, one run, and the exit status.
#include "frontend/entry.h"
#include "obrex/sandbox.h"
#include "platform/os.h"
#include "platform/win32_os.h"

int main() {
  // advapi32 loads helpers of its own (ntmarta.dll for the security calls):
  // they too come from the system directory, never from next to the
  // executable, where a sandboxed command may be able to write.
  obrex::restrict_dll_search_to_system_directory();
  obrex::Os& os = obrex::system_os();
  os.exit_process(obrex::run_program(os, obrex::run_sandbox));
}
