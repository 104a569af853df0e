// Mandatory integrity labels on the --write and --deny paths. The sandboxed
// command runs at Low integrity: a write path needs a Low no-write-up label
// for it to write there, a deny path a Medium no-read-up, no-write-up label
// so that it can neither read nor write there. Both labels are inherited by
// files and subdirectories.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

// Low, no-write-up, object- and container-inherit.
inline constexpr std::string_view kLowWriteLabel = "S:(ML;OICI;NW;;;LW)";
// Found in a label text whose Low entry has exactly the no-write-up mask,
// whatever its flags (explicit or inherited, with or without inheritance).
inline constexpr std::string_view kLowWriteLabelMarker = ";NW;;;LW)";
// Medium, no-write-up and no-read-up, object- and container-inherit.
inline constexpr std::string_view kDenyLabel = "S:(ML;OICI;NWNR;;;ME)";

// Writes the SACL of `label` (SDDL, parsed anew on every call) as the path's
// label. Fails with "cannot parse {label}", "cannot read the label to apply"
// or "cannot label {path}".
Result<void> apply_label(Os& os, std::string_view path, std::string_view label);

// Gives the path the Low write label unless its label text already carries
// the marker. The path is expected to exist.
Result<void> ensure_low_write_label(Os& os, std::string_view path);

// Labels every existing deny path, in order, with the deny label, on every
// run and without reading the label first. Paths that fail the existence
// test are skipped silently; the first failure stops the pass.
Result<void> protect_denied_paths(Os& os, const std::vector<std::string>& deny_dirs);

} // namespace obrex
