// obrex-sandbox-acl reads a DACL or a label from the SDDL text Windows gives,
// drops the entries it revokes and writes the rest back as text. The split
// must never crash; what it accepts must be the text itself, entry by entry,
// each entry its fields; and dropping any one entry must leave a text that
// splits into the other entries unchanged, so that a quote or a parenthesis
// inside a condition's literal never joins or cuts the entries around it.
// Input: the SDDL text as bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "acl/sddl_entries.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto acl = obrex::split_sddl_acl(text);
  if (!acl) {
    return 0;
  }
  OBREX_FUZZ_CHECK(obrex::join_sddl_acl(*acl, [](const obrex::SddlEntry&) { return true; }) ==
                   text);
  for (const obrex::SddlEntry& entry : acl->entries) {
    const std::string fields = "(" + std::string(entry.type) + ";" + std::string(entry.flags) +
                               ";" + std::string(entry.rights) + ";" +
                               std::string(entry.object_type) + ";" +
                               std::string(entry.inherited_object_type) + ";" +
                               std::string(entry.sid) + std::string(entry.extra) + ")";
    OBREX_FUZZ_CHECK(fields == entry.text);
  }
  for (std::size_t dropped = 0; dropped < acl->entries.size(); ++dropped) {
    const std::string rest = obrex::join_sddl_acl(
        *acl, [&](const obrex::SddlEntry& entry) { return &entry != &acl->entries[dropped]; });
    const auto again = obrex::split_sddl_acl(rest);
    OBREX_FUZZ_CHECK(again.has_value());
    OBREX_FUZZ_CHECK(again->header == acl->header);
    OBREX_FUZZ_CHECK(again->entries.size() + 1 == acl->entries.size());
    for (std::size_t i = 0; i < again->entries.size(); ++i) {
      OBREX_FUZZ_CHECK(again->entries[i].text == acl->entries[i < dropped ? i : i + 1].text);
    }
  }
  return 0;
}
