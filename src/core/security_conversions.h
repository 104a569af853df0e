// Conversions between texts and the system's security structures, each with
// its message.
#pragma once

#include <string>
#include <string_view>

#include "core/errors.h"
#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// ConvertStringSidToSidW; fails with "cannot build the SID {text}".
Result<LocalMemory<SidPtr>> sid_from_text(Os& os, std::string_view text);

// ConvertSidToStringSidW as UTF-8 (an unpaired surrogate shown as U+FFFD);
// fails with "cannot format a SID". The SID stays the caller's.
Result<std::string> sid_to_text(Os& os, SidPtr sid);

// ConvertStringSecurityDescriptorToSecurityDescriptorW with revision 1; a
// self-relative descriptor, or "cannot parse {sddl}".
Result<LocalMemory<SecurityDescriptorPtr>> security_descriptor_from_sddl(Os& os,
                                                                         std::string_view sddl);

} // namespace obrex
