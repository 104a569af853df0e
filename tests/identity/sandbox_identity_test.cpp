#include "identity/sandbox_identity.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

constexpr const char* kWorkedSandboxSid = "S-1-5-21-669023875-3582582253-860409785-2052304560";
constexpr const char* kWorkedReadOnlySid = "S-1-5-21-1868805269-3114411757-4043673337-2385440343";

std::string hex(const Sha256Digest& digest) {
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += "0123456789abcdef"[byte >> 4];
    text += "0123456789abcdef"[byte & 0xF];
  }
  return text;
}

TEST(SandboxIdentity, WorkedExampleByteForByte) {
  FILE_ID_INFO info;
  info.VolumeSerialNumber = 0x12345678;
  std::iota(std::begin(info.FileId), std::end(info.FileId), std::uint8_t{0});
  const std::string id = file_id_text(info);
  EXPECT_EQ(id, "0000000012345678-000102030405060708090a0b0c0d0e0f");
  const Sha256Digest digest = sha256("tornel.obrex.sandbox:" + id);
  EXPECT_EQ(hex(digest), "837ee027eddd89d5b9cf4833b0ae537af6c0af3d12bd5c7f210d49eba108dd94");
  EXPECT_EQ(sid_text_from_digest(digest), kWorkedSandboxSid);
  EXPECT_EQ(file_id_text(FILE_ID_INFO{}), "0000000000000000-00000000000000000000000000000000");
}

TEST(SandboxIdentity, PathEquality) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      // Drive letter case, separator kind, doubled and trailing separators
      // and "." do not matter; other letter case and ".." do.
      {R"(C:\Work\proj)", "c:/Work/proj/", true},
      {R"(C:\Work\.\proj)", R"(C:\\Work\\\proj\\)", true},
      {R"(C:\Work\proj)", R"(C:\work\proj)", false},
      {R"(C:\Work\x\..\proj)", R"(C:\Work\proj)", false},
      // Only the whole path counts; the root is a component.
      {R"(C:\Work\proj)", R"(C:\Work)", false},
      {R"(C:\Work\proj)", R"(C:\Work\proj\src)", false},
      {R"(C:\Work\proj)", "proj", false},
      {R"(C:\Work)", "C:Work", false},
      {R"(C:\Work)", R"(\Work)", false},
      // A leading "." counts only without a root.
      {R"(.\proj)", "proj", false},
      {R"(.\proj)", "./proj/", true},
      {R"(\.\Work)", R"(\Work)", true},
      {"", ".", false},
      // UNC shares and devices are prefixes of their own.
      {R"(\\server\share\x)", "//server/share/x", true},
      {R"(\\server\share\x)", R"(\server\share\x)", false},
      {R"(\\.\COM1)", "//./COM1", true},
      // After \\?\ only '\' separates and "." counts.
      {R"(\\?\C:\Work\.\proj)", R"(\\?\C:\Work\.\proj)", true},
      {R"(\\?\C:\Work\\proj\)", R"(\\?\c:\Work\proj)", true},
      {R"(\\?\C:\Work\proj)", R"(C:\Work\proj)", false},
      {R"(\\?\C:\Work/proj)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\C:\Work\.\proj)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\UNC\server\share\x)", R"(\\server\share\x)", false},
      // "\??\", a leading "\\" without a share and a bare "\\." are no
      // prefixes here: a root, then ordinary components.
      {R"(\??\C:\Work\proj)", R"(\??\C:\Work\.\proj)", true},
      {R"(\??\C:\Work\proj)", R"(\??\C:/Work/proj)", true},
      {R"(\??\C:\Work\proj)", R"(/??/C:/Work/proj)", true},
      {R"(\??\C:\Work\proj)", R"(\??\c:\Work\proj)", false},
      {R"(\??\C:\)", R"(\??\C:)", true},
      {R"(\Work\proj)", "//Work//proj", true},
      {R"(\Work\proj)", R"(\\\Work\proj)", true},
      {R"(\)", R"(\\)", true},
      {R"(\)", R"(\\.)", true},
  };
  for (const auto& [a, b, equal] : cases) {
    EXPECT_EQ(paths_equal(a, b), equal) << a << " vs " << b;
    EXPECT_EQ(paths_equal(b, a), equal) << b << " vs " << a;
  }
}

// The project of the worked example, a junction to it and a directory on a
// volume without file IDs.
struct Volume : SimulatedOs {
  Volume() {
    test::SimFile& project = add_directory(u"C:\\Work\\proj");
    project.volume_serial = 0x12345678;
    std::iota(std::begin(project.file_id), std::end(project.file_id), std::uint8_t{0});
    test::SimFile& link = add_file(u"D:\\link");
    link.reparse_tag = 0xA0000003u;
    link.link_target = u"C:\\Work\\proj";
    add_directory(u"C:\\Work\\noid").file_id_error = 1;
    system_messages[1] = u"Incorrect function.\r\n";
  }
};

TEST(DeriveSandboxIdentity, DerivesTheSidFromTheFileIdentityUnderTheChosenLabel) {
  const std::tuple<std::string, std::vector<std::string>, const char*> cases[] = {
      {R"(C:\Work\proj)", {R"(C:\work\proj)", R"(C:\Work)"}, kWorkedSandboxSid},
      {R"(C:\Work\proj)", {R"(D:\other)", "c:/Work/proj/"}, kWorkedReadOnlySid},
      // Other ways to the same directory: the same identity, but the label
      // is chosen by the path text.
      {R"(c:/work/./proj/)", {}, kWorkedSandboxSid},
      {R"(D:\link)", {R"(C:\Work\proj)"}, kWorkedSandboxSid},
  };
  for (const auto& [project, read_only, sid] : cases) {
    Volume os;
    const auto identity = derive_sandbox_identity(os, project, read_only);
    ASSERT_TRUE(identity) << identity.error().message;
    EXPECT_EQ(identity->sid_text, sid);
    EXPECT_EQ(*os.sid_text(identity->sid.get()), sid);
  }
  // A file yields an identity too: serial 0 and file ID 0.
  Volume os;
  os.add_file(u"C:\\Work\\file.txt").volume_serial = 0;
  const auto of_file = derive_sandbox_identity(os, R"(C:\Work\file.txt)", {});
  EXPECT_EQ(of_file ? of_file->sid_text : of_file.error().message,
            "S-1-5-21-3633229974-1998237395-45342547-3488778070");
}

// Records the arguments of every CreateFileW.
struct OpenRecordingOs : Volume {
  std::vector<std::array<std::uint32_t, 4>> opens;
  OsResult<Handle> create_file(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags,
                               SecurityDescriptorPtr descriptor) override {
    opens.push_back({access, share, disposition, flags});
    return SimulatedOs::create_file(path, access, share, disposition, flags, descriptor);
  }
};

TEST(DeriveSandboxIdentity, OpensTheProjectToReadItsAttributesOnly) {
  OpenRecordingOs os;
  ASSERT_TRUE(derive_sandbox_identity(os, R"(C:\Work\proj)", {}));
  EXPECT_EQ(os.opens, (decltype(os.opens){{0x80, 7, 3, 0x02000000}}));
}

TEST(DeriveSandboxIdentity, FailuresReleaseEverythingAndNameTheProject) {
  const std::string sandbox_sid = kWorkedSandboxSid;
  const std::tuple<std::string, const char*, OsCode, std::string> cases[] = {
      {R"(C:\Work\gone)", nullptr, 0,
       R"(cannot open C:\Work\gone: The system cannot find the file specified. (os error 2))"},
      {R"(C:\Work\noid)", nullptr, 0,
       R"(cannot read the file ID of C:\Work\noid (the sandbox needs NTFS or ReFS): )"
       "Incorrect function. (os error 1)"},
      {R"(C:\Work\proj)", "convert_string_sid_to_sid", 1337,
       "cannot build the SID " + sandbox_sid +
           ": The security ID structure is invalid. (os error 1337)"},
      {R"(C:\Work\proj)", "convert_sid_to_string_sid", 87,
       "cannot format a SID: The parameter is incorrect. (os error 87)"},
  };
  for (const auto& [project, method, code, message] : cases) {
    Volume os;
    if (method != nullptr) {
      os.fail_call(method, 1, code);
    }
    const auto identity = derive_sandbox_identity(os, project, {});
    EXPECT_EQ(identity ? "(an identity)" : identity.error().message, message);
  }
}

} // namespace
} // namespace obrex
