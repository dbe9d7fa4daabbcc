#include <gtest/gtest.h>

#include <vector>

#include "contract/contract_host.h"
#include "platform/file_constants.h"
#include "platform/security.h"
#include "platform/unique_handle.h"
#include "winformat/sid.h"

namespace telvo::contract {
namespace {

using namespace platform;

// The drive letter of the scratch directory (\\?\X:\...).
std::u16string ScratchDrive(ContractHost& host) { return host.ScratchDirectory().substr(4, 2); }

TEST(DrivesContract, ALocalDriveIsFixedAndAnUnusedLetterHasNoRoot) {
    auto host = MakeContractHost();
    const std::u16string drive = ScratchDrive(*host);
    EXPECT_EQ(host->platform().files.GetDriveTypeW(drive + u"\\"), drive_type::kFixed);
    for (char16_t letter = u'Q'; letter <= u'Y'; ++letter) {
        if (host->platform().files.GetDriveTypeW(std::u16string{letter, u':', u'\\'}) != drive_type::kNoRootDir) continue;
        std::vector<char16_t> buffer(32768, u'\0');
        auto unused = host->platform().files.QueryDosDeviceW(std::u16string{letter, u':'}, buffer);
        ASSERT_FALSE(unused);
        EXPECT_EQ(unused.error(), SysError::Win32(win32_error::kFileNotFound));
        return;
    }
}

// The answer is a multi-string: the count includes both terminating NULs.
TEST(DrivesContract, QueryDosDeviceReturnsTheMultiStringWithBothTerminators) {
    auto host = MakeContractHost();
    std::vector<char16_t> buffer(32768, u'\x7F');
    auto count = host->platform().files.QueryDosDeviceW(ScratchDrive(*host), buffer);
    ASSERT_TRUE(count);
    ASSERT_GE(*count, 3u);
    EXPECT_EQ(buffer[*count - 1], u'\0');
    EXPECT_EQ(buffer[*count - 2], u'\0');
    EXPECT_NE(buffer[0], u'\0');
    std::size_t first = 0;
    while (buffer[first] != u'\0') ++first;
    EXPECT_LE(first + 2, *count);
    char16_t tiny[1];
    auto refused = host->platform().files.QueryDosDeviceW(ScratchDrive(*host), tiny);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(win32_error::kInsufficientBuffer));
}

TEST(DrivesContract, TheNullDeviceIsACharacterDeviceAndFilesAreDisks) {
    auto host = MakeContractHost();
    auto nul = host->platform().files.CreateFileW(u"NUL", file_access::kGenericRead, 3,
                                                   creation_disposition::kOpenExisting, 0);
    ASSERT_TRUE(nul);
    const UniqueHandle device(host->platform().kernel, *nul);
    EXPECT_EQ(host->platform().files.GetFileType(device.get()), file_type::kChar);
    const std::u16string path = host->ScratchDirectory() + u"\\file";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    auto file = host->platform().files.CreateFileW(path, file_access::kGenericRead, 3,
                                                    creation_disposition::kOpenExisting, 0);
    ASSERT_TRUE(file);
    const UniqueHandle opened(host->platform().kernel, *file);
    EXPECT_EQ(host->platform().files.GetFileType(opened.get()), file_type::kDisk);
}

TEST(ElevationContract, ElevationAndAdministratorsMembershipCanBeAsked) {
    auto host = MakeContractHost();
    Platform& platform = host->platform();
    auto token = platform.security.OpenProcessToken(kCurrentProcess, token_access::kQuery);
    ASSERT_TRUE(token);
    const UniqueHandle owned(platform.kernel, *token);
    std::uint32_t returned = 0;
    auto elevation = platform.security.GetTokenInformation(owned.get(), token_information::kElevation, 4, returned);
    ASSERT_TRUE(elevation);
    EXPECT_EQ(elevation->bytes.size(), 4u);
    auto administrators = platform.security.CreateWellKnownSid(well_known_sid::kBuiltinAdministrators);
    ASSERT_TRUE(administrators);
    EXPECT_EQ(administrators->ToString(), "S-1-5-32-544");
    auto member = platform.security.CheckTokenMembership(kNullHandle, *administrators);
    ASSERT_TRUE(member);
    // Everyone is a group of every token.
    auto everyone = platform.security.CheckTokenMembership(kNullHandle, winformat::well_known::World());
    ASSERT_TRUE(everyone);
    EXPECT_TRUE(*everyone);
}

}  // namespace
}  // namespace telvo::contract
