#include "process/child_environment.h"

#include <gtest/gtest.h>

#include <map>

#include "support/local_path_of.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::process {
namespace {

using winutil::testing::SimFileTest;

constexpr char kHome[] = "C:\\Users\\tester\\AppData\\Local\\Packages\\Telvo.Sandbox.x\\AC";

// The entries of a block, in order, as "NAME=value".
std::vector<std::u16string> Entries(const std::u16string& block) {
    std::vector<std::u16string> entries;
    std::size_t start = 0;
    while (start < block.size() && block[start] != u'\0') {
        const std::size_t end = block.find(u'\0', start);
        entries.push_back(block.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

class ChildEnvironmentTest : public SimFileTest {
protected:
    ChildEnvironmentTest() {
        Dir("C:\\Windows");
        Dir("C:\\Windows\\System32");
        File("C:\\Windows\\System32\\Cmd.exe");
        Dir("C:\\ws");
    }

    Result<ChildEnvironment> Build(std::string_view home = kHome, std::string_view workspace = "C:\\ws",
                                   std::vector<std::string> further = {}) {
        std::vector<winutil::LocalPath> roots;
        for (const std::string& root : further) roots.push_back(telvo::testing::PathOf(root));
        return BuildChildEnvironment(platform(), home, telvo::testing::PathOf(workspace), roots);
    }
    std::map<std::u16string, std::u16string> Variables(const ChildEnvironment& environment) {
        std::map<std::u16string, std::u16string> variables;
        for (const auto& entry : Entries(environment.block)) {
            const std::size_t equals = entry.find(u'=');
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
        return variables;
    }
    std::u16string PathOf(std::string_view workspace, std::vector<std::string> further = {}) {
        auto built = Build(kHome, workspace, std::move(further));
        EXPECT_TRUE(built) << built.error().Display();
        return built ? Variables(*built)[u"PATH"] : std::u16string();
    }
    static std::string ErrorOf(const auto& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
};

TEST_F(ChildEnvironmentTest, HoldsExactlyTheElevenVariablesInBlockOrder) {
    const std::size_t handles = OpenHandles();
    auto built = Build();
    ASSERT_TRUE(built) << built.error().Display();
    EXPECT_TRUE(built->block.ends_with(std::u16string(u"\0\0", 2)));
    const std::u16string home = Wide(kHome);
    const std::vector<std::u16string> expected{
        // The processor in the case the file system stores.
        u"COMSPEC=C:\\Windows\\System32\\Cmd.exe",
        u"HOME=" + home,
        u"LOCALAPPDATA=" + home,
        u"PATH=C:\\Windows\\System32;C:\\Windows;C:\\ws",
        u"PATHEXT=.COM;.EXE;.BAT;.CMD",
        u"SystemDrive=C:",
        u"SystemRoot=C:\\Windows",
        u"TEMP=" + home + u"\\Temp",
        u"TMP=" + home + u"\\Temp",
        u"USERPROFILE=" + home,
        u"WINDIR=C:\\Windows",
    };
    EXPECT_EQ(Entries(built->block), expected);
    EXPECT_EQ(OpenHandles(), handles);
}

TEST_F(ChildEnvironmentTest, PathTakesToolDirectoriesOnlyWhenTheyAreDirectoriesOfTheirOwn) {
    Dir("C:\\elsewhere");
    Dir("C:\\ws\\.venv");
    Dir("C:\\ws\\.venv\\Scripts");
    Dir("C:\\ws\\venv");
    Junction("C:\\ws\\venv\\Scripts", "C:\\elsewhere");
    Dir("C:\\ws\\node_modules");
    File("C:\\ws\\node_modules\\.bin");
    Dir("C:\\tools");
    Dir("C:\\tools\\cmd");
    Dir("C:\\tools\\Scripts");
    File("C:\\tools\\bin");
    Junction("C:\\linked", "C:\\tools");
    EXPECT_EQ(PathOf("C:\\ws", {"C:\\missing", "C:\\linked", "C:\\tools"}),
              u"C:\\Windows\\System32;C:\\Windows;C:\\ws;C:\\ws\\.venv\\Scripts;C:\\tools;C:\\tools\\Scripts;"
              u"C:\\tools\\cmd");

    // Every tool directory present, in its fixed order.
    ASSERT_TRUE(files().Remove(u"C:\\ws\\venv\\Scripts"));
    Dir("C:\\ws\\venv\\Scripts");
    ASSERT_TRUE(files().Remove(u"C:\\ws\\node_modules\\.bin"));
    Dir("C:\\ws\\node_modules\\.bin");
    ASSERT_TRUE(files().Remove(u"C:\\tools\\bin"));
    Dir("C:\\tools\\bin");
    EXPECT_EQ(PathOf("\\\\?\\C:\\ws", {"\\\\?\\C:\\tools"}),
              u"C:\\Windows\\System32;C:\\Windows;C:\\ws;C:\\ws\\.venv\\Scripts;C:\\ws\\venv\\Scripts;"
              u"C:\\ws\\node_modules\\.bin;C:\\tools;C:\\tools\\Scripts;C:\\tools\\bin;C:\\tools\\cmd");
}

TEST_F(ChildEnvironmentTest, PathDropsAnEntryEqualToTheOneBeforeIt) {
    Dir("C:\\tools");
    Dir("C:\\tools\\bin");
    Dir("C:\\other");
    // The workspace is the Windows directory; a further root repeats the
    // directory before it in another case.
    EXPECT_EQ(PathOf("C:\\Windows", {"C:\\tools", "C:\\TOOLS\\bin"}),
              u"C:\\Windows\\System32;C:\\Windows;C:\\tools;C:\\tools\\bin");
    // Only neighbours merge.
    EXPECT_EQ(PathOf("C:\\ws", {"C:\\other", "C:\\ws"}), u"C:\\Windows\\System32;C:\\Windows;C:\\ws;C:\\other;C:\\ws");
}

TEST_F(ChildEnvironmentTest, RefusesAValueTheBlockCannotCarry) {
    using namespace std::string_view_literals;
    EXPECT_EQ(ErrorOf(Build("C:\\Users\\a\0b"sv)), "invalid character in child environment");
}

TEST_F(ChildEnvironmentTest, SystemDirectoryMustBeALocalDirectoryWithAParentHoldingCmd) {
    auto& system = host.system();
    system.SetSystemDirectory(u"\\\\server\\share\\System32");
    EXPECT_EQ(ErrorOf(Build()), "system directory has no drive prefix");
    system.SetSystemDirectory(u"C:System32");
    EXPECT_EQ(ErrorOf(Build()), "system directory is not on a local drive");
    system.SetSystemDirectory(u"C:\\Windows\\..\\System32");
    EXPECT_EQ(ErrorOf(Build()), "system directory is not on a local drive");
    system.SetSystemDirectory(u"C:\\");
    EXPECT_EQ(ErrorOf(Build()), "system directory has no Windows parent");
    system.SetSystemDirectory(u"C:\\Windows\\SysWOW64");
    EXPECT_EQ(ErrorOf(Build()),
              "system command processor is unavailable at C:\\Windows\\SysWOW64\\cmd.exe: CreateFileW failed with "
              "Win32 error 3");
    system.SetSystemDirectory(u"C:\\" + std::u16string(32768, u'x'));
    EXPECT_EQ(ErrorOf(Build()), "system directory exceeds the supported size");

    // Directly below a volume root, the Windows directory is the root.
    Dir("C:\\System32");
    File("C:\\System32\\cmd.exe");
    system.SetSystemDirectory(u"C:\\System32");
    auto processor = FindCommandProcessor(platform());
    ASSERT_TRUE(processor) << processor.error().Display();
    EXPECT_EQ(processor->windows_directory, u"C:\\");
    EXPECT_EQ(processor->system_drive, u"C:");
    EXPECT_EQ(processor->path, u"C:\\System32\\cmd.exe");
}

TEST_F(ChildEnvironmentTest, SystemDirectoryIsAskedForItsSizeThenItsText) {
    FailNext("GetSystemDirectoryW", 1);
    EXPECT_EQ(ErrorOf(SystemDirectory(host.system())), "GetSystemDirectoryW(size) failed with Win32 error 1");
    host.faults().FailOn("GetSystemDirectoryW", host.faults().Count("GetSystemDirectoryW") + 2, SysError::Win32(2));
    EXPECT_EQ(ErrorOf(SystemDirectory(host.system())), "GetSystemDirectoryW failed with Win32 error 2");
    EXPECT_EQ(SystemDirectory(host.system()).value(), u"C:\\Windows\\System32");
}

// A directory that grows between the calls is asked again, a few times at most.
TEST_F(ChildEnvironmentTest, SystemDirectoryThatKeepsGrowingIsRefused) {
    class GrowingSystem final : public platform::System {
    public:
        explicit GrowingSystem(int growths) : growths_(growths) {}
        SysResult<void> BCryptGenRandom(std::span<std::uint8_t>, std::uint32_t) override { return {}; }
        SysResult<std::uint32_t> GetSystemWindowsDirectoryW(std::span<char16_t>) override { return 0u; }
        SysResult<std::uint32_t> GetSystemDirectoryW(std::span<char16_t> buffer) override {
            if (!buffer.empty() && growths_-- > 0) path_ += u"x";
            if (buffer.size() <= path_.size()) return static_cast<std::uint32_t>(path_.size() + 1);
            std::copy(path_.begin(), path_.end(), buffer.begin());
            return static_cast<std::uint32_t>(path_.size());
        }
        SysResult<void> RegGetValueW(std::uint32_t, const std::u16string&, const std::u16string&, std::uint32_t,
                                     std::uint32_t&, std::span<std::uint8_t>, std::uint32_t&) override {
            return {};
        }
        SysResult<std::u16string> SHGetKnownFolderPath(const platform::KnownFolderId&, std::uint32_t) override {
            return std::u16string();
        }

    private:
        int growths_;
        std::u16string path_ = u"C:\\Sys";
    };
    GrowingSystem twice(2);
    EXPECT_EQ(SystemDirectory(twice).value(), u"C:\\Sysxx");
    GrowingSystem always(100);
    EXPECT_EQ(ErrorOf(SystemDirectory(always)), "system directory changed size repeatedly");
}

}  // namespace
}  // namespace telvo::process
