// The sandbox's security identifier: derived from the project directory's
// volume serial number and file ID through SHA-256, so the same directory
// yields the same SID in every run, whatever path leads to it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "identity/sha256.h"
#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// The one SID of a run. `sid` is the system's structure (released with
// LocalFree); `sid_text` is the text the system gives for it.
struct SandboxIdentity {
  LocalMemory<SidPtr> sid;
  std::string sid_text;
};

// The labels hashed before the file identity: a project listed among the
// read-only directories gets its own, different SID.
inline constexpr std::string_view kSandboxLabel = "tornel.obrex.sandbox:";
inline constexpr std::string_view kReadOnlyLabel = "tornel.obrex.sandbox.read-only:";

// Opens `project`, reads its file identity and derives the SID under the
// label that `read_only_dirs` selects. Fails with "cannot open {project}" or
// "cannot read the file ID of {project} (the sandbox needs NTFS or ReFS)",
// or with the messages of the SID conversions.
Result<SandboxIdentity> derive_sandbox_identity(Os& os, const std::string& project,
                                                const std::vector<std::string>& read_only_dirs);

// The read-only label when `project` equals an entry of `read_only_dirs`,
// the sandbox label otherwise.
std::string_view choose_label(std::string_view project,
                              const std::vector<std::string>& read_only_dirs);

// Equality of two path texts by their components under the Windows path
// rules: '\' and '/' separate (only '\' after the verbatim prefix \\?\),
// empty and "." components are ignored (except a leading "." of a path
// without root, and every "." of a verbatim path), ".." is kept, drive
// letters compare without case, the root is a component, every other
// component compares exactly.
bool paths_equal(std::string_view a, std::string_view b);

// The serial as 16 lowercase hex digits, "-", the 16 file-ID bytes in order
// as 32 lowercase hex digits.
std::string file_id_text(const FILE_ID_INFO& info);

// "S-1-5-21" and four numbers, each the little-endian 32-bit value of the
// next four digest bytes (bytes 0 to 15).
std::string sid_text_from_digest(const Sha256Digest& digest);

} // namespace obrex
