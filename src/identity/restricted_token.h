// The token the command runs under: a write-restricted, Low-integrity copy of
// the program's own token, restricted to the sandbox SID, Everyone and the
// logon SID, with a default DACL for the user, Local System and the sandbox.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "identity/sandbox_identity.h"
#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// Token information as GetTokenInformation wrote it: zero-filled storage,
// aligned to 8 bytes, of the length the system asked for rounded up to a
// multiple of 8.
using TokenBuffer = std::vector<std::uint64_t>;

// Reads one class of token information in two calls: one for the length,
// one for the data. Fails with "cannot size Obrex's token {name}" when the
// system names no length, "cannot read Obrex's token {name}" when the read
// fails.
Result<TokenBuffer> read_token_information(Os& os, Handle token, std::uint32_t information_class,
                                           std::string_view name);

// Builds the command's token from the program's own. The caller owns the
// handle; a failure leaves nothing open or allocated.
Result<UniqueHandle> build_restricted_token(Os& os, const SandboxIdentity& identity);

} // namespace obrex
