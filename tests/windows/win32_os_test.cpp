// The real adapter, where the end-to-end runs cannot see what it does: buffer
// growth, write loops, unset against empty variables, records read in place,
// calls a run under Wine never reaches, and the security calls that only real
// Windows carries out (skipped under Wine, saying so).
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "filesystem/permissions_lock.h"
#include "identity/sha256.h"
#include "platform/owner.h"
#include "platform/win32_os.h"

namespace obrex {
namespace {

std::u16string u16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

std::string display(std::u16string_view text) {
  return e2e::utf8(std::wstring(text.begin(), text.end()));
}

class Win32OsTest : public testing::Test {
protected:
  Win32Os os;
  e2e::TempDirectory dir;
};

constexpr std::uint32_t kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST_F(Win32OsTest, MessageTextFailuresAndNtStatusTexts) {
  const auto unknown = os.format_message(kFromSystem, ModuleHandle{}, 0x2ABCDEF1, 2048);
  EXPECT_EQ(unknown, std::unexpected(static_cast<std::uint32_t>(ERROR_MR_MID_NOT_FOUND)));
  const auto ntdll = os.get_module_handle(u"NTDLL.DLL");
  ASSERT_TRUE(ntdll);
  const auto text = os.format_message(kFromSystem | FORMAT_MESSAGE_FROM_HMODULE, *ntdll,
                                      0xC0000022 /* STATUS_ACCESS_DENIED */, 2048);
  if (!text && e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine's ntdll has no message table (error " << text.error() << ")";
  }
  ASSERT_TRUE(text) << "error " << text.error();
  EXPECT_GT(text->size(), 2u);
}

TEST_F(Win32OsTest, EnvironmentTellsUnsetFromEmptyAndKeepsEveryUnit) {
  const std::u16string name = u"OBREX_ADAPTER_TEST_VARIABLE";
  const std::u16string odd_units = {u'a', char16_t(0xD800), u'\u00e9', u'b'};
  // The long value outgrows the first buffer.
  for (const std::u16string& value :
       {std::u16string(u"value"), std::u16string(), std::u16string(5000, u'x'), odd_units}) {
    ASSERT_TRUE(os.set_environment_variable(name, value));
    EXPECT_EQ(os.get_environment_variable(name), value) << "length " << value.size();
  }
  ::SetEnvironmentVariableW(L"OBREX_ADAPTER_TEST_VARIABLE", nullptr);
  EXPECT_EQ(os.get_environment_variable(name), std::nullopt);
}

TEST_F(Win32OsTest, FullPathNamesGrowAsNeeded) {
  const std::u16string deep =
      u16(dir.path()) + u"\\" + std::u16string(300, u'n') + u"\\" + std::u16string(300, u'm');
  EXPECT_EQ(os.get_full_path_name(deep + u"\\x\\..\\.\\y"), deep + u"\\y");
}

TEST_F(Win32OsTest, WriteFileWritesEveryByte) {
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7 + i / 251);
  }
  const std::u16string path = u16(dir / L"big");
  const auto file = os.create_file(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, 0, {});
  ASSERT_TRUE(file);
  UniqueHandle owner(os, *file);
  ASSERT_TRUE(os.write_file(*file, bytes));
  std::string read(bytes.size() + 1, '\0');
  DWORD length = 0;
  ::SetFilePointer(file->value, 0, nullptr, FILE_BEGIN);
  ASSERT_TRUE(
      ::ReadFile(file->value, read.data(), static_cast<DWORD>(read.size()), &length, nullptr));
  read.resize(length);
  EXPECT_TRUE(read == bytes) << read.size();
}

// The handle calls and the directory search (the existence test's fallback)
// tell files from directories alike.
TEST_F(Win32OsTest, AttributesOfFilesAndDirectories) {
  for (const auto& [path, directory] :
       {std::pair(dir.make_directory(L"dir"), true), std::pair(dir.make_file(L"file"), false)}) {
    const auto file = os.create_file(u16(path), 0, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, {});
    ASSERT_TRUE(file);
    UniqueHandle owner(os, *file);
    const auto information = os.get_file_information_by_handle(*file);
    const auto tag = os.get_file_attribute_tag_info(*file);
    const auto found = os.find_first_file_ex(u16(path));
    ASSERT_TRUE(information && tag && found);
    EXPECT_EQ((information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, directory);
    EXPECT_EQ(tag->FileAttributes, information->dwFileAttributes);
    EXPECT_EQ(tag->ReparseTag, 0u);
    EXPECT_EQ(found->dwFileAttributes, information->dwFileAttributes);
  }
  EXPECT_EQ(os.find_first_file_ex(u16(dir / L"missing")),
            std::unexpected(static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND)));
}

// What a grant writes; a run under Wine never gets this far (the label
// before it fails there).
TEST_F(Win32OsTest, DaclGrantIsWrittenAndReadBack) {
  const std::u16string path = u16(dir.make_directory(L"granted"));
  const auto before =
      os.get_named_security_info(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, true);
  ASSERT_TRUE(before) << "status " << before.error();
  LocalMemory<SecurityDescriptorPtr> before_owner(os, before->descriptor);
  const auto sid = os.convert_string_sid_to_sid(u"S-1-5-21-1-2-3-4");
  ASSERT_TRUE(sid);
  LocalMemory<SidPtr> sid_owner(os, *sid);
  EXPLICIT_ACCESS_W entry;
  entry.grfAccessPermissions = FILE_ALL_ACCESS;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  entry.Trustee.ptstrName = sid->value;
  const auto acl = os.set_entries_in_acl(entry, before->dacl);
  ASSERT_TRUE(acl) << "status " << acl.error();
  LocalMemory<AclPtr> acl_owner(os, *acl);
  ASSERT_TRUE(
      os.set_named_security_info(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, *acl, AclPtr{}));

  const auto after =
      os.get_named_security_info(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, false);
  ASSERT_TRUE(after) << "status " << after.error();
  LocalMemory<SecurityDescriptorPtr> after_owner(os, after->descriptor);
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      after->descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION);
  ASSERT_TRUE(text);
  if (text->find(u"S-1-5-21-1-2-3-4") == std::u16string::npos && e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not keep the DACL written to a directory: it reads back "
                 << display(*text);
  }
  EXPECT_NE(text->find(u"(A;OICI;FA;;;S-1-5-21-1-2-3-4)"), std::u16string::npos) << display(*text);
}

TEST_F(Win32OsTest, LowLabelIsWrittenAndReadBack) {
  if (e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not read or write integrity labels (GetNamedSecurityInfoW "
                    "with LABEL_SECURITY_INFORMATION fails with 5)";
  }
  const std::u16string path = u16(dir.make_directory(L"labelled"));
  const auto descriptor = os.convert_string_security_descriptor_to_security_descriptor(
      u"S:(ML;OICI;NW;;;LW)", SDDL_REVISION_1);
  ASSERT_TRUE(descriptor);
  LocalMemory<SecurityDescriptorPtr> owner(os, *descriptor);
  const auto sacl = os.get_security_descriptor_sacl(*descriptor);
  ASSERT_TRUE(sacl && sacl->value != nullptr);
  ASSERT_TRUE(os.set_named_security_info(path, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, AclPtr{},
                                         *sacl));
  const auto read =
      os.get_named_security_info(path, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, false);
  ASSERT_TRUE(read) << "status " << read.error();
  LocalMemory<SecurityDescriptorPtr> read_owner(os, read->descriptor);
  // Windows may put control flags before the entries ("S:AI(...)"): what
  // matters is the one entry, explicit, with its inheritance, mask and level.
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      read->descriptor, SDDL_REVISION_1, LABEL_SECURITY_INFORMATION);
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->starts_with(u"S:")) << display(*text);
  EXPECT_TRUE(text->ends_with(u"(ML;OICI;NW;;;LW)")) << display(*text);
  EXPECT_EQ(text->find(u'('), text->rfind(u'(')) << "one entry: " << display(*text);
}

// A token information record, read with the size call first; empty when
// the token has none.
std::vector<std::uint64_t> read_token(Os& os, Handle token, std::uint32_t kind) {
  std::uint32_t needed = 0;
  EXPECT_EQ(os.get_token_information(token, kind, nullptr, 0, needed),
            std::unexpected(static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER)));
  std::vector<std::uint64_t> buffer((needed + 7) / 8);
  if (needed == 0 || !os.get_token_information(token, kind, buffer.data(), needed, needed)) {
    return {};
  }
  return buffer;
}

// The portable records laid over what Windows wrote: the own token's user
// and groups. A restricted Low token's level and restricting SIDs are read
// by LaunchE2e.ChildRunsUnderTheRestrictedLowToken.
TEST_F(Win32OsTest, TokenRecordsAreReadInPlace) {
  const auto token = os.open_process_token(TOKEN_QUERY);
  ASSERT_TRUE(token) << "error " << token.error();
  UniqueHandle owner(os, *token);
  const auto user = read_token(os, *token, TokenUser);
  ASSERT_FALSE(user.empty());
  const auto user_text =
      os.convert_sid_to_string_sid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
  EXPECT_TRUE(user_text && user_text->starts_with(u"S-1-5-"));
  const auto groups = read_token(os, *token, TokenGroups);
  ASSERT_FALSE(groups.empty());
  const auto* group_record = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  bool everyone = false;
  for (std::uint32_t i = 0; i < group_record->GroupCount; ++i) {
    everyone = everyone || os.convert_sid_to_string_sid(group_record->Groups[i].Sid) == u"S-1-1-0";
  }
  EXPECT_TRUE(everyone);
}

// The child must run no code before it is in its job: it starts suspended,
// and only the resume lets it go.
TEST_F(Win32OsTest, ProcessStartsSuspendedUntilResumed) {
  const auto token = os.open_process_token(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY);
  ASSERT_TRUE(token);
  UniqueHandle token_owner(os, *token);
  // A restricted copy of one's own token can be given to a child without
  // any privilege.
  const auto child_token = os.create_restricted_token(*token, 0, {});
  ASSERT_TRUE(child_token) << "error " << child_token.error();
  UniqueHandle child_token_owner(os, *child_token);
  const std::u16string probe = u16(e2e::probe_path());
  std::u16string line = u"\"" + probe + u"\" exit=3";
  const auto process = os.create_process_as_user(*child_token, probe, line, false, CREATE_SUSPENDED,
                                                 {STARTF_USESTDHANDLES, {}, {}, {}}, std::nullopt);
  ASSERT_TRUE(process) << "error " << process.error();
  UniqueHandle process_owner(os, process->hProcess), thread_owner(os, process->hThread);
  EXPECT_EQ(os.wait_for_single_object(process->hProcess, 0),
            static_cast<std::uint32_t>(WAIT_TIMEOUT));
  EXPECT_EQ(os.resume_thread(process->hThread), 1u); // the suspend count it had
  EXPECT_EQ(os.wait_for_single_object(process->hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(os.get_exit_code_process(process->hProcess), 3u);
}

// The lock that runs take turns through, against another process: the wait
// for it ends when asked, a holder that is killed gives it back at once, and
// an open that shares nothing and asks for no access keeps no one out.
TEST_F(Win32OsTest, PermissionsLockWaitsForAnotherProcessUntilItIsKilled) {
  const auto profile = os.get_known_folder_path_profile();
  ASSERT_TRUE(profile) << "error " << profile.error();
  const std::u16string path = PermissionsLock::path_in(*profile);
  const std::wstring wide_path(path.begin(), path.end());
  {
    PermissionsLock lock(os); // makes the file when it is missing
    ASSERT_TRUE(lock.hold().owned());
  }
  const HANDLE blocker = ::CreateFileW(wide_path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(blocker, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
  const UniqueHandle blocker_owner(os, Handle{blocker});

  // The holder locks the file, then makes a file of its own to say so.
  const std::wstring ready = dir / L"ready";
  std::wstring line = e2e::command_line(
      {e2e::probe_path(), L"try_lock=" + wide_path, L"try_create=" + ready, L"sleep=60000"});
  ::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  ::PROCESS_INFORMATION holder{};
  ASSERT_TRUE(::CreateProcessW(e2e::probe_path().c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &holder))
      << "error " << ::GetLastError();
  const UniqueHandle process(os, Handle{holder.hProcess}), thread(os, Handle{holder.hThread});
  struct Kill {
    HANDLE process;
    ~Kill() {
      ::TerminateProcess(process, 1);
      ::WaitForSingleObject(process, INFINITE);
    }
  } kill{holder.hProcess};
  for (int waited = 0; ::GetFileAttributesW(ready.c_str()) == INVALID_FILE_ATTRIBUTES;
       waited += 10) {
    ASSERT_LT(waited, 20000) << "the holder did not get that far";
    ::Sleep(10);
  }
  // 0 when the lock can be had at this moment (and given back with the
  // file), otherwise the error.
  const auto lock_now = [&] {
    const HANDLE file = ::CreateFileW(wide_path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ::OVERLAPPED first_byte{};
    const DWORD result = ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                      1, 0, &first_byte)
                             ? 0
                             : ::GetLastError();
    ::CloseHandle(file);
    return result;
  };
  EXPECT_EQ(lock_now(), static_cast<DWORD>(ERROR_LOCK_VIOLATION));

  {
    PermissionsLock lock(os, 300);
    const auto start = std::chrono::steady_clock::now();
    const auto held = lock.hold();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    // Wine 8 carries out no overlapped lock request that has to wait:
    // LockFileEx reports it pending, CancelIoEx then finds no request
    // (ERROR_NOT_FOUND), and GetOverlappedResult reports it granted. Only
    // Windows shows the outcome.
    if (!e2e::running_under_wine()) {
      EXPECT_FALSE(held.owned());
      EXPECT_TRUE(lock.gave_up());
    }
  }
  ASSERT_TRUE(::TerminateProcess(holder.hProcess, 1));
  ASSERT_EQ(::WaitForSingleObject(holder.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(lock_now(), 0u);
}

// CNG on the seed of a project whose volume serial is 0x12345678 and whose
// file ID is the bytes 00 to 0f.
TEST(Sha256Cng, DigestOfTheWorkedSeed) {
  const Sha256Digest expected = {0x83, 0x7e, 0xe0, 0x27, 0xed, 0xdd, 0x89, 0xd5, 0xb9, 0xcf, 0x48,
                                 0x33, 0xb0, 0xae, 0x53, 0x7a, 0xf6, 0xc0, 0xaf, 0x3d, 0x12, 0xbd,
                                 0x5c, 0x7f, 0x21, 0x0d, 0x49, 0xeb, 0xa1, 0x08, 0xdd, 0x94};
  EXPECT_EQ(sha256("tornel.obrex.sandbox:0000000012345678-000102030405060708090a0b0c0d0e0f"),
            expected);
}

} // namespace
} // namespace obrex
