// The three commands of obrex-sandbox-acl against the system: `sid` names a
// project's SIDs, `show` lists the labels and the sandbox SIDs' entries of
// paths, `revoke` removes a project's grants and, when asked, the labels
// obrex-sandbox-exec writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "acl/acl_command_line.h"
#include "platform/os.h"

namespace obrex {

// Where the results and failures of a command go. Each result line is
// tab-separated, its fields' control characters escaped.
class AclOutput {
public:
  // A quiet output drops the results; failures are written all the same.
  explicit AclOutput(Os& os, bool quiet = false) : os_(os), quiet_(quiet) {}

  // Writes whole lines to standard output. A failed write throws
  // InternalFailure: what the tool did can no longer be told.
  void print(std::string_view lines);
  // Writes "obrex-sandbox-acl: {message}" to standard error; the tool then
  // ends with status 1.
  void fail(std::string_view message);
  // Writes "obrex-sandbox-acl: note: {message}" to standard error; the
  // status stays as it is.
  void note(std::string_view message);
  bool failed() const { return failed_; }
  // Takes on the failure of another output.
  void carry(const AclOutput& other) { failed_ = failed_ || other.failed_; }

private:
  Os& os_;
  bool quiet_ = false;
  bool failed_ = false;
};

// Fields joined by tabs, each with its control characters escaped, and a
// line feed.
std::string output_line(std::initializer_list<std::string_view> fields);

// For each directory: "{sandbox SID}\t{read-only SID}\t{directory}", both
// derived exactly as obrex-sandbox-exec derives them.
void print_sids(Os& os, AclOutput& out, const std::vector<std::string>& directories);

// For each path, and with `recurse` everything below it:
//   {path}\tlabel\t{level}\t{policy}\t{flags}\texplicit|inherited[\tbelow Medium]
//   {path}\tlabel\tnone
//   {path}\tentry\t{SID}\t{type}\t{mask}\t{flags}\texplicit|inherited\t{whose}
// With projects, the entries of their SIDs ({whose}: "sandbox SID of DIR" or
// "read-only SID of DIR"); without, every explicit allow entry but those of
// this program's user, SYSTEM and Administrators ({whose}: "Everyone",
// "logon SID", "Authenticated Users", "Users", "no account" or "account"),
// and every explicit entry whose SID names no account ("no account"). Every
// OWNER RIGHTS entry is listed either way, {whose} "OWNER RIGHTS" and one
// more field, "replaces the owner's implied rights". An entry marked
// inherited in a protected DACL counts as explicit. An explicit label below
// Medium is marked "below Medium". Below a path only explicit labels and
// entries are reported.
//
// Every path is read through a handle opened by the walk (path_walk.h),
// with READ_CONTROL: links and junctions are not followed, and below a path
// each is reported ("{path}\tnot followed\t{kind}").
void show_paths(Os& os, AclOutput& out, const AclRequest& request);

// Removes from each path (and with `recurse` everything below it) the grants
// obrex-sandbox-exec writes for the project's two SIDs and each --sid
// (is_grant_entry: the explicit allow entry of full access inherited by
// files and directories, exactly) and, with `labels` and `deny_labels`, the
// Low write label and the Medium deny label that it writes, exactly, in one
// write per path; a path with nothing to remove is not written. A --sid
// that names an account, or a project whose SIDs cannot be derived, stops
// the revoke before any path. The
// entries are read and removed in binary form (GetAce, DeleteAce); every
// other entry stays as it was, byte for byte, and the DACL keeps its
// protection. Every other explicit entry of those SIDs is reported. A path
// is refused, and not written, when its DACL would be left without any
// entry. After the write the path is read again: a DACL that reads back
// without entries is written back as it was read, and reported; a removal
// that another write undid is made again, three times in all, then reported
// as a failure.
// Every path is read and written through a handle opened by the walk
// (path_walk.h) with READ_CONTROL, WRITE_DAC and, for labels, WRITE_OWNER.
// Afterwards one line per removal or kept entry:
//   {path}\tremoved entry\t{SID}\t{type}\t{mask}\t{flags}\t{whose}
//   {path}\tremoved label\t{level}\t{policy}\t{flags}
//   {path}\tkept entry\t{SID}\t{type}\t{mask}\t{flags}\t{whose}
void revoke_paths(Os& os, AclOutput& out, const AclRequest& request);

// The whole program: reads the process command line, runs the command and
// returns the exit status: 0, 1 when something failed, 2 after a usage error.
std::uint32_t run_acl_program(Os& os);

} // namespace obrex
