#include "windows/command_authorities.h"

#include <gtest/gtest.h>

#include "winutil/sim_file_fixture.h"

namespace telvo::windows {
namespace {

constexpr char kCwdOutside[] = "cwd is outside the assigned directory authorities";

// The account home C:\Users\tester, a workspace C:\work\ws, dependencies
// C:\deps and C:\deps2, and the recovery directory C:\state.
class CommandAuthoritiesTest : public winutil::testing::SimFileTest {
protected:
    CommandAuthoritiesTest() {
        for (const char* directory : {"C:\\Users", "C:\\Users\\tester", "C:\\work", "C:\\work\\ws", "C:\\work\\ws\\Src",
                                      "C:\\deps", "C:\\deps2", "C:\\state"}) {
            Dir(directory);
        }
        File("C:\\work\\ws\\f.txt");
        File("C:\\deps\\tool.exe");
        run.root = "C:\\work\\ws";
        run.mode = protocol::RunMode::workspace_write;
        run.cwd = "C:\\work\\ws";
    }

    Result<CheckedAuthorities> Check(std::string_view state = "\\\\?\\C:\\state") {
        return CheckCommandAuthorities(platform(), run, state);
    }
    std::string ErrorOf(const Result<CheckedAuthorities>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    std::string Refusal(std::string root, std::vector<std::string> readable = {}, std::string cwd = "C:\\work\\ws") {
        run.root = std::move(root);
        run.readable_roots = std::move(readable);
        run.cwd = std::move(cwd);
        return ErrorOf(Check());
    }

    protocol::Run run;
};

TEST_F(CommandAuthoritiesTest, AcceptedAuthoritiesAreCanonicalRootFirst) {
    run.root = "c:/work/WS/";
    run.readable_roots = {"C:\\deps\\tool.exe", "C:\\DEPS2"};
    run.cwd = "c:\\work\\ws\\src";
    const std::size_t handles = OpenHandles();
    auto checked = Check();
    ASSERT_TRUE(checked) << checked.error().Display();
    ASSERT_EQ(checked->authorities.size(), 3u);
    EXPECT_EQ(checked->authorities[0].path, "\\\\?\\C:\\work\\ws");
    EXPECT_TRUE(checked->authorities[0].writable);
    EXPECT_EQ(checked->authorities[1].path, "\\\\?\\C:\\deps\\tool.exe");
    EXPECT_FALSE(checked->authorities[1].writable);
    EXPECT_FALSE(checked->authorities[1].directory);
    EXPECT_EQ(checked->authorities[2].path, "\\\\?\\C:\\deps2");
    EXPECT_TRUE(checked->authorities[2].directory);
    EXPECT_EQ(checked->cwd, "\\\\?\\C:\\work\\ws\\Src");
    EXPECT_EQ(OpenHandles(), handles);

    run.mode = protocol::RunMode::read_only;
    EXPECT_FALSE(Check().value().authorities[0].writable);
}

TEST_F(CommandAuthoritiesTest, PathsMustBeNormalizedWithADirectoryParentBeforeAnythingResolves) {
    EXPECT_EQ(Refusal("C:\\work\\..\\ws"), "path must be a normalized absolute local-drive path");
    EXPECT_EQ(Refusal("C:\\"), "authority has no directory parent");
    files().AddVolume({.root = u"D:", .serial = 0x0D0D0D0D});
    EXPECT_EQ(Refusal("D:\\"), "authority has no directory parent");
    // The readable roots' texts are checked before the root is resolved.
    EXPECT_EQ(Refusal("C:\\missing", {"C:\\deps", "relative"}), "path must be a normalized absolute local-drive path");
    EXPECT_EQ(Refusal("C:\\missing", {"D:\\"}), "authority has no directory parent");
}

TEST_F(CommandAuthoritiesTest, RootMustResolveToADirectoryBelowAVolumeRoot) {
    EXPECT_EQ(Refusal("C:\\missing"), "root does not resolve: C:\\missing: CreateFileW failed with Win32 error 2");
    EXPECT_EQ(Refusal("C:\\work\\ws\\f.txt"), "root must be a non-volume directory");
    Junction("C:\\whole", "C:\\");
    EXPECT_EQ(Refusal("C:\\whole"), "root must be a non-volume directory");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\whole"}), "readable roots cannot grant an entire volume: \\\\?\\C:\\");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\gone"}),
              "readableRoots[0] does not resolve: C:\\gone: CreateFileW failed with Win32 error 2");
}

TEST_F(CommandAuthoritiesTest, AccountHomeComesFromTheProfileFolder) {
    host.faults().FailOn("SHGetKnownFolderPath", host.faults().Count("SHGetKnownFolderPath") + 1,
                         SysError::HResult(0x80070005));
    EXPECT_EQ(ErrorOf(Check()), "SHGetKnownFolderPath(Profile) failed with HRESULT 0x80070005");
    host.system().SetProfile(u"\\\\server\\share\\tester");
    EXPECT_EQ(ErrorOf(Check()), "the account profile is not on a local drive");
    host.system().SetProfile(u"C:\\Users\\gone");
    EXPECT_EQ(ErrorOf(Check()),
              "could not canonicalize account profile C:\\Users\\gone: CreateFileW failed with Win32 error 2");
    // The home is compared in its canonical form: a link to it is the home.
    Junction("C:\\home", "C:\\Users\\tester");
    host.system().SetProfile(u"C:\\home");
    EXPECT_EQ(Refusal("C:\\Users"), "the writable/read-only root cannot contain the account home");
}

TEST_F(CommandAuthoritiesTest, NoAuthorityMayContainTheAccountHome) {
    EXPECT_EQ(Refusal("C:\\Users", {}, "C:\\Users"), "the writable/read-only root cannot contain the account home");
    EXPECT_EQ(Refusal("C:\\Users\\tester", {}, "C:\\Users\\tester"),
              "the writable/read-only root cannot contain the account home");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\Users"}),
              "a readable dependency cannot contain the account home: \\\\?\\C:\\Users");
}

TEST_F(CommandAuthoritiesTest, WorkingDirectoryMustBeADirectoryInsideAnAuthority) {
    EXPECT_EQ(Refusal("C:\\work\\ws", {}, "C:\\work\\ws\\f.txt"), kCwdOutside);
    EXPECT_EQ(Refusal("C:\\work\\ws", {}, "C:\\deps"), kCwdOutside);
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\deps\\tool.exe"}, "C:\\deps"), kCwdOutside);
    EXPECT_EQ(Refusal("C:\\work\\ws", {}, "C:\\missing"),
              "cwd does not resolve: C:\\missing: CreateFileW failed with Win32 error 2");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\deps"}, "C:\\deps"), "(succeeded)");
}

TEST_F(CommandAuthoritiesTest, ReadableRootsMustNotRepeatOrNestWithTheWritableRoot) {
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\deps", "c:\\WORK\\ws"}), "readableRoots[1] duplicates root");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\work\\ws\\src"}),
              "a read-only authority overlaps the writable root: \\\\?\\C:\\work\\ws\\Src");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\work"}), "a read-only authority overlaps the writable root: \\\\?\\C:\\work");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\deps", "c:/deps/"}), "duplicate readable root: \\\\?\\C:\\deps");
    // Read-only everywhere, nesting grants nothing more.
    run.mode = protocol::RunMode::read_only;
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\work\\ws\\src", "C:\\work"}), "(succeeded)");
    EXPECT_EQ(Refusal("C:\\work\\ws", {"C:\\work\\ws"}), "readableRoots[0] duplicates root");
}

TEST_F(CommandAuthoritiesTest, RecoveryDirectoryMustNotOverlapAnAuthority) {
    run.readable_roots = {"C:\\deps"};
    for (const char* state : {"\\\\?\\C:\\work\\ws\\state", "\\\\?\\C:\\work", "\\\\?\\c:\\DEPS"}) {
        EXPECT_EQ(ErrorOf(Check(state)), "the sandbox recovery directory overlaps a command authority") << state;
    }
    EXPECT_TRUE(Check("\\\\?\\C:\\work\\wsx"));
}

}  // namespace
}  // namespace telvo::windows
