#include <gtest/gtest.h>

#include "winutil/create_directories.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::winutil {
namespace {

class CreateDirectoriesTest : public testing::SimFileTest {
protected:
    std::string Refusal(std::string_view path) {
        auto made = CreateDirectories(platform(), path);
        EXPECT_FALSE(made);
        return made ? std::string("made") : made.error().Display();
    }
    bool IsDirectory(std::string_view path) {
        auto facts = files().Lookup(Wide(path));
        return facts && (facts->attributes & platform::file_attribute::kDirectory);
    }
};

TEST_F(CreateDirectoriesTest, MakesEveryMissingAncestorAndAcceptsWhatExists) {
    Dir("C:\\a");
    ASSERT_TRUE(CreateDirectories(platform(), "\\\\?\\C:\\a\\b\\c\\d"));
    EXPECT_TRUE(IsDirectory("C:\\a\\b\\c\\d"));
    // d and c find no parent, b is made, then c and d.
    EXPECT_EQ(host.faults().Count("CreateDirectoryW"), 5u);
    ASSERT_TRUE(CreateDirectories(platform(), "C:/a/b"));
    ASSERT_TRUE(CreateDirectories(platform(), "C:\\"));
    EXPECT_EQ(OpenHandles(), 3u);
}

TEST_F(CreateDirectoriesTest, RefusesFilesInTheWayAndOtherFailures) {
    File("C:\\f");
    EXPECT_EQ(Refusal("C:\\f"), "CreateDirectoryW(C:\\f) failed with Win32 error 183");
    EXPECT_EQ(Refusal("C:\\f\\g"), "CreateDirectoryW(C:\\f) failed with Win32 error 183");
    EXPECT_EQ(Refusal("Q:\\x"), "CreateDirectoryW(Q:\\x) failed with Win32 error 3");
    EXPECT_EQ(Refusal("C:\\a\\..\\b"), "path must be a normalized absolute local-drive path");
    FailNext("CreateDirectoryW", 5);
    EXPECT_EQ(Refusal("C:\\x"), "CreateDirectoryW(C:\\x) failed with Win32 error 5");
    EXPECT_FALSE(files().Lookup(u"C:\\x"));
}

}  // namespace
}  // namespace telvo::winutil
