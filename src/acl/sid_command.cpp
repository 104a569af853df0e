// obrex-sandbox-acl sid: the two SIDs of each project directory.
#include "acl/acl_commands.h"
#include "acl/acl_reading.h"

namespace obrex {

void print_sids(Os& os, AclOutput& out, const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    if (const auto both = both_sids(os, out, directory)) {
      out.print(output_line({both->first, both->second, directory}));
    }
  }
}

} // namespace obrex
