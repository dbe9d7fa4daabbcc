#include "identity/appcontainer_temp.h"

#include <gtest/gtest.h>

#include "identity/capability_set.h"
#include "identity/profile.h"
#include "winutil/create_directories.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::identity {
namespace {

constexpr char kName[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";

class AppContainerTemp : public winutil::testing::SimFileTest {
protected:
    winformat::Sid Profile() {
        auto sid = CreateProfile(platform().appcontainer, kName, CapabilitySet());
        EXPECT_TRUE(sid);
        return *sid;
    }
    const std::string folder = std::string("C:\\Users\\tester\\AppData\\Local\\Packages\\") + kName + "\\AC";
};

TEST_F(AppContainerTemp, CreatesTempWithEveryMissingParentAndAcceptsItAgain) {
    const winformat::Sid sid = Profile();
    auto created = EnsureAppContainerTemp(platform(), sid);
    ASSERT_TRUE(created) << created.error().Display();
    EXPECT_EQ(*created, folder);
    auto temp = files().Lookup(Wide(folder + "\\Temp"));
    ASSERT_TRUE(temp);
    const std::size_t handles = OpenHandles();
    auto again = EnsureAppContainerTemp(platform(), sid);
    ASSERT_TRUE(again) << again.error().Display();
    EXPECT_EQ(OpenHandles(), handles);
}

TEST_F(AppContainerTemp, SomethingElseInTheWayIsAnError) {
    const winformat::Sid sid = Profile();
    ASSERT_TRUE(winutil::CreateDirectories(platform(), folder));
    File(folder + "\\Temp");
    auto created = EnsureAppContainerTemp(platform(), sid);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().Display(),
              "could not create AppContainer temp under " + folder + ": CreateDirectoryW(" + folder +
                  "\\Temp) failed with Win32 error 183");
}

TEST_F(AppContainerTemp, FailuresCarryTheirCause) {
    const winformat::Sid sid = Profile();
    FailNext("CreateDirectoryW", 5);
    EXPECT_EQ(EnsureAppContainerTemp(platform(), sid).error().Display(),
              "could not create AppContainer temp under " + folder + ": CreateDirectoryW(" + folder +
                  "\\Temp) failed with Win32 error 5");
    // A SID without a profile has no folder.
    const winformat::Sid stranger = winformat::Sid::Make(15, {2, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(EnsureAppContainerTemp(platform(), stranger).error().Display(),
              "GetAppContainerFolderPath failed with HRESULT 0x80070002");
}

}  // namespace
}  // namespace telvo::identity
