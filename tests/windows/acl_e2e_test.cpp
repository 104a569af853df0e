// The real obrex-sandbox-acl.exe, and the system calls only it makes.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "filesystem/file_checks.h"
#include "identity/sandbox_identity.h"
#include "platform/win32_os.h"

namespace obrex::e2e {
namespace {

RunOutcome run_acl(const std::vector<std::wstring>& arguments) {
  const std::wstring program = built_file_path(L"obrex-sandbox-acl.exe");
  return run_raw(program, quoted_path(program) + L" " + command_line(arguments));
}

// Gives the path a DACL, protected when the text says "D:P".
void set_dacl(std::wstring path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD protection = sddl.starts_with(L"D:P") ? PROTECTED_DACL_SECURITY_INFORMATION : 0;
  EXPECT_EQ(::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | protection, nullptr, nullptr, dacl,
                                    nullptr),
            0u)
      << utf8(path);
  ::LocalFree(descriptor);
}

// The path's DACL as Windows holds it: whether it is protected, and the
// bytes of each entry.
struct RawDacl {
  bool protected_dacl = false;
  std::vector<std::string> entries;
};
RawDacl raw_dacl(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  RawDacl raw;
  if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot read the DACL of " << utf8(path);
    return raw;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  raw.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ::GetAce(dacl, i, &ace);
    raw.entries.emplace_back(static_cast<const char*>(ace), static_cast<ACE_HEADER*>(ace)->AceSize);
  }
  ::LocalFree(descriptor);
  return raw;
}

TEST(AclE2e, SidGivesTheSidsTheLauncherDerives) {
  TempDirectory project;
  const std::string path = utf8(project.path());
  Win32Os os;
  const auto sandbox = derive_sandbox_identity(os, path, {});
  const auto read_only = derive_sandbox_identity(os, path, {path});
  ASSERT_TRUE(sandbox && read_only);

  const std::wstring missing = project / L"missing";
  const RunOutcome run = run_acl({L"sid", project.path(), missing});
  EXPECT_EQ(run.out, sandbox->sid_text + "\t" + read_only->sid_text + "\t" + path + "\n");
  EXPECT_EQ(run.err, "obrex-sandbox-acl: cannot open " + utf8(missing) + ": " +
                         os_error_text(ERROR_FILE_NOT_FOUND) + "\n");
  EXPECT_EQ(run.exit_code, 1u);
}

TEST(AclE2e, TheAdapterTellsAccountsFromUnknownSids) {
  Win32Os os;
  struct Case {
    const wchar_t* sid;
    bool account;
  };
  for (const Case c : {Case{L"S-1-5-18", true}, Case{L"S-1-5-21-9-9-9-9", false}}) {
    PSID sid = nullptr;
    ASSERT_TRUE(::ConvertStringSidToSidW(c.sid, &sid));
    const auto looked_up = os.lookup_account_sid(SidPtr{sid});
    ::LocalFree(sid);
    EXPECT_EQ(looked_up.has_value(), c.account) << utf8(c.sid);
    if (!c.account) {
      EXPECT_EQ(looked_up.error(), 1332u) << utf8(c.sid); // ERROR_NONE_MAPPED
    }
  }
}

// The listing the walk checks each opened object against: every name of the
// directory, with the 128-bit file ID that the object opened by that name
// reports, so that a name swapped between the two shows.
TEST(AclE2e, TheAdapterListsADirectoryByHandleWithTheIdsItsObjectsReport) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine 8 does not implement GetFileInformationByHandleEx with "
                    "FileIdExtdDirectoryInfo (it fails with 87), so obrex-sandbox-acl cannot "
                    "walk below a path there";
  }
  TempDirectory directory;
  directory.make_directory(L"sub");
  directory.make_file(L"file.txt");
  Win32Os os;
  const HANDLE handle = ::CreateFileW(directory.path().c_str(), FILE_LIST_DIRECTORY,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const auto found = os.get_file_id_extd_directory_info(Handle{handle});
  ::CloseHandle(handle);
  ASSERT_TRUE(found) << found.error();
  std::vector<std::u16string> names;
  for (const FILE_ID_EXTD_DIR_INFO& entry : *found) {
    names.push_back(entry.FileName);
    EXPECT_EQ((entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
              entry.FileName != u"file.txt");
    if (entry.FileName == u"." || entry.FileName == u"..") {
      continue;
    }
    const std::wstring path =
        directory / std::wstring(entry.FileName.begin(), entry.FileName.end());
    const HANDLE object =
        ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_NE(object, INVALID_HANDLE_VALUE);
    const auto id = os.get_file_id_info(Handle{object});
    ::CloseHandle(object);
    ASSERT_TRUE(id);
    EXPECT_TRUE(std::ranges::equal(id->FileId, entry.FileId)) << utf8(path);
  }
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"file.txt", u"sub"}));
}

// GetAce as the tool reads it: each entry's type, flags, size and mask, and
// its SID found where its type puts it, in plain entries and (on Windows) an
// object and a conditional one; DeleteAce moves the later entries up, and
// the control bits show the DACL's protection.
TEST(AclE2e, TheAdapterReadsEachEntryWhereItsTypePutsIt) {
  // Wine parses neither object nor conditional entries (1705); Windows does.
  const bool windows = !running_under_wine();
  std::wstring text = L"D:P(A;OICI;FA;;;S-1-5-21-1-2-3-4)(D;;FA;;;WD)";
  if (windows) {
    text += L"(OA;CI;CC;bf967aba-0de6-11d0-a285-00aa003049e2;;WD)(XA;;FA;;;WD;(@User.x == \"(\"))";
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  PSID everyone = nullptr;
  ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-1-0", &everyone));
  Win32Os os;
  const auto control = os.get_security_descriptor_control(SecurityDescriptorPtr{descriptor});
  ASSERT_TRUE(control);
  EXPECT_NE(*control & SE_DACL_PROTECTED, 0);

  struct Expected {
    std::uint8_t type, flags;
    std::uint16_t size; // the SID of S-1-5-21-1-2-3-4 takes 28 bytes, Everyone's 12
    std::uint32_t mask;
    bool everyone;
  };
  std::vector<Expected> expected = {{0, 3, 36, FILE_ALL_ACCESS, false},
                                    {1, 0, 20, FILE_ALL_ACCESS, true}};
  if (windows) {
    expected.push_back({5, 2, 40, 1, true});
    expected.push_back({9, 0, 0, FILE_ALL_ACCESS, true}); // its size depends on the condition
  }
  ASSERT_EQ(os.get_acl_information(AclPtr{dacl}), expected.size());
  for (std::uint32_t i = 0; i < expected.size(); ++i) {
    const auto ace = os.get_ace(AclPtr{dacl}, i);
    ASSERT_TRUE(ace) << i;
    EXPECT_EQ(ace->AceType, expected[i].type) << i;
    EXPECT_EQ(ace->AceFlags, expected[i].flags) << i;
    EXPECT_EQ(ace->Mask, expected[i].mask) << i;
    ASSERT_NE(ace->Sid.value, nullptr) << i;
    EXPECT_EQ(os.equal_sid(ace->Sid, SidPtr{everyone}), expected[i].everyone) << i;
    if (expected[i].size != 0) {
      EXPECT_EQ(ace->AceSize, expected[i].size) << i;
    } else {
      EXPECT_GT(ace->AceSize, 8 + os.get_length_sid(ace->Sid)) << i;
    }
  }
  ASSERT_TRUE(os.delete_ace(AclPtr{dacl}, 0));
  const auto moved = os.get_ace(AclPtr{dacl}, 0);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->AceType, 1);
  EXPECT_FALSE(os.get_ace(AclPtr{dacl}, static_cast<std::uint32_t>(expected.size() - 1)));
  ::LocalFree(everyone);
  ::LocalFree(descriptor);
}

// Of the project's entries only the grant the launcher writes goes; every
// other entry stays byte for byte, and so does the DACL's protection.
TEST(AclE2e, RevokeRemovesTheExactGrantAndLeavesEveryOtherEntryAsItWas) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine keeps no DACL that a program sets on a file here: "
                    "SetNamedSecurityInfoW and SetSecurityInfo succeed, and the DACL reads back "
                    "as it was";
  }
  TempDirectory project;
  const std::wstring path = project.make_directory(L"w");
  Win32Os os;
  const auto identity = derive_sandbox_identity(os, utf8(project.path()), {});
  ASSERT_TRUE(identity);
  const std::wstring sid(identity->sid_text.begin(), identity->sid_text.end());
  set_dacl(path, L"D:P(A;CI;FA;;;" + sid + L")(A;OICI;FA;;;" + sid + L")(A;OICI;0x1200a9;;;" + sid +
                     L")(A;OICI;FA;;;WD)");
  const RawDacl before = raw_dacl(path);
  ASSERT_EQ(before.entries.size(), 4u);

  const RunOutcome revoked = run_acl({L"revoke", L"--project", project.path(), path});
  EXPECT_EQ(revoked.err, "");
  EXPECT_EQ(revoked.exit_code, 0u);
  EXPECT_EQ(occurrences(revoked.out, "\tremoved entry\t"), 1u) << revoked.out;
  EXPECT_EQ(occurrences(revoked.out, "\tkept entry\t"), 2u) << revoked.out;
  const RawDacl after = raw_dacl(path);
  EXPECT_TRUE(after.protected_dacl);
  EXPECT_EQ(after.entries,
            (std::vector<std::string>{before.entries[0], before.entries[2], before.entries[3]}));
}

// Below a path, revoke reaches the names that the plain Win32 form does not:
// "x." and "y " (which that form reads as "x" and "y") and a name holding an
// unpaired surrogate. A junction it meets is reported, not followed.
TEST(AclE2e, RevokeRecursesToEveryNameAndFollowsNoJunction) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine 8 does not implement GetFileInformationByHandleEx with "
                    "FileIdExtdDirectoryInfo (87), which the walk below a path lists through; "
                    "nor can it create a name holding an unpaired surrogate";
  }
  TempDirectory project;
  const std::wstring tree = project.make_directory(L"tree");
  Win32Os os;
  const auto identity = derive_sandbox_identity(os, utf8(project.path()), {});
  ASSERT_TRUE(identity);
  const std::wstring sid(identity->sid_text.begin(), identity->sid_text.end());

  std::vector<std::wstring> odd;
  for (const std::wstring& name :
       {std::wstring(L"x."), std::wstring(L"y "), std::wstring(L"z") + wchar_t(0xD800)}) {
    odd.push_back(L"\\\\?\\" + tree + L"\\" + name);
    const HANDLE file = ::CreateFileW(odd.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(odd.back());
    ::CloseHandle(file);
    set_dacl(odd.back(), L"D:(A;OICI;FA;;;" + sid + L")(A;;FA;;;WD)");
  }
  const std::wstring elsewhere = project.make_directory(L"elsewhere");
  set_dacl(elsewhere, L"D:(A;OICI;FA;;;" + sid + L")(A;;FA;;;WD)");
  wchar_t system[MAX_PATH];
  const std::wstring cmd =
      std::wstring(system, ::GetSystemDirectoryW(system, MAX_PATH)) + L"\\cmd.exe";
  ASSERT_EQ(run_raw(cmd, quoted_path(cmd) + L" /d /c mklink /J " + quoted_path(tree + L"\\link") +
                             L" " + quoted_path(elsewhere))
                .exit_code,
            0u);
  // A file keeps the inheritance flags of the grant, as the launcher writes
  // it on a --write path that is a file: revoke matches them.
  EXPECT_NE(security_text(odd[0], DACL_SECURITY_INFORMATION)
                .find("(A;OICI;FA;;;" + identity->sid_text + ")"),
            std::string::npos);

  const RunOutcome revoked = run_acl({L"revoke", L"--project", project.path(), L"--recurse", tree});
  EXPECT_EQ(revoked.err, "");
  EXPECT_EQ(revoked.exit_code, 0u);
  EXPECT_EQ(occurrences(revoked.out, "\tremoved entry\t"), 3u) << revoked.out;
  EXPECT_EQ(occurrences(revoked.out, utf8(tree) + "\\link\tnot followed\tjunction\n"), 1u)
      << revoked.out;
  EXPECT_NE(security_text(elsewhere, DACL_SECURITY_INFORMATION).find(identity->sid_text),
            std::string::npos);
  for (const std::wstring& path : odd) {
    const std::string after = security_text(path, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(after.find(identity->sid_text), std::string::npos) << utf8(path) << ": " << after;
    EXPECT_NE(after.find("(A;;FA;;;WD)"), std::string::npos) << utf8(path) << ": " << after;
    ::DeleteFileW(path.c_str()); // the plain form cannot name it for the clean-up
  }
}

// The label's entries, without the ACL's flags: no label and a label without
// entries are the same to Windows.
std::string label_entries(const std::string& text) {
  return text.substr(std::min(text.find('('), text.size()));
}

TEST(AclE2e, RevokeUndoesWhatTheLauncherWrote) {
  if (running_under_wine()) {
    GTEST_SKIP() << "Wine cannot read or write integrity labels (GetNamedSecurityInfoW with "
                    "LABEL_SECURITY_INFORMATION fails with 5), so the launcher cannot prepare a "
                    "--write or --deny path there";
  }
  TempDirectory project;
  const std::wstring write = project.make_directory(L"write");
  const std::wstring inner = project.make_file(L"write\\inner.txt");
  const std::wstring deny = project.make_directory(L"deny");
  Win32Os os;
  struct Texts {
    std::string dacl, label;
  };
  const auto texts = [&os](const std::wstring& path) {
    const auto dacl = read_security_text(os, utf8(path), DACL_SECURITY_INFORMATION);
    const auto label = read_security_text(os, utf8(path), LABEL_SECURITY_INFORMATION);
    EXPECT_TRUE(dacl && label) << utf8(path);
    return Texts{dacl ? *dacl : "", label ? label_entries(*label) : ""};
  };
  const std::vector<std::wstring> paths = {write, inner, deny};
  std::vector<Texts> before;
  for (const std::wstring& path : paths) {
    before.push_back(texts(path));
  }
  const auto identity = derive_sandbox_identity(os, utf8(project.path()), {});
  ASSERT_TRUE(identity);

  const RunOutcome launched = run_obrex(command_line(
      {L"--project", project.path(), L"--write", write, L"--deny", deny, L"--", probe_path()}));
  ASSERT_EQ(launched.err, "");
  ASSERT_EQ(launched.exit_code, 0u);

  const RunOutcome shown = run_acl({L"show", L"--project", project.path(), write, deny});
  EXPECT_EQ(shown.err, "");
  EXPECT_EQ(shown.exit_code, 0u);
  const std::string whose = "sandbox SID of " + utf8(project.path());
  for (const std::string& line : {utf8(write) + "\tlabel\tLow\tNW\tOICI\texplicit\tbelow Medium\n",
                                  utf8(write) + "\tentry\t" + identity->sid_text +
                                      "\tallow\t0x001f01ff\tOICI\texplicit\t" + whose + "\n",
                                  utf8(deny) + "\tlabel\tMedium\tNWNR\tOICI\texplicit\n"}) {
    EXPECT_NE(shown.out.find(line), std::string::npos) << line << " in\n" << shown.out;
  }

  const RunOutcome revoked = run_acl(
      {L"revoke", L"--project", project.path(), L"--labels", L"--deny-labels", write, deny});
  EXPECT_EQ(revoked.err, "");
  EXPECT_EQ(revoked.exit_code, 0u);
  EXPECT_EQ(std::ranges::count(revoked.out, '\n'), 3) << revoked.out;

  for (std::size_t i = 0; i < paths.size(); ++i) {
    const Texts after = texts(paths[i]);
    EXPECT_EQ(after.dacl, before[i].dacl) << utf8(paths[i]);
    EXPECT_EQ(after.label, before[i].label) << utf8(paths[i]);
  }
  const RunOutcome again = run_acl({L"show", L"--project", project.path(), write, deny});
  EXPECT_EQ(again.out.find(identity->sid_text), std::string::npos) << again.out;
  EXPECT_EQ(again.exit_code, 0u);
}

} // namespace
} // namespace obrex::e2e
