// The entry point of obrex-sandbox-acl: the real system, one command, and the
// exit status.
#include "acl/acl_commands.h"
#include "obrex/sandbox.h"
#include "platform/os.h"
#include "platform/win32_os.h"

int main() {
  // The security calls load helpers of their own; they come from the system
  // directory only, never from next to the executable.
  obrex::restrict_dll_search_to_system_directory();
  obrex::Os& os = obrex::system_os();
  os.exit_process(obrex::run_acl_program(os));
}
