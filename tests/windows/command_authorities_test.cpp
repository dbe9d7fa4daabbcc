#include "windows/command_authorities.h"

#include <gtest/gtest.h>

#include "common/try.h"

#include "process/launch_fixture.h"
#include "windows/exact_cleanup.h"
#include "winutil/sim_file_fixture.h"
#include "support/local_path_of.h"

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
    EXPECT_EQ(checked->authorities[0].path.text(), "\\\\?\\C:\\work\\ws");
    EXPECT_TRUE(checked->authorities[0].writable);
    EXPECT_EQ(checked->authorities[1].path.text(), "\\\\?\\C:\\deps\\tool.exe");
    EXPECT_FALSE(checked->authorities[1].writable);
    EXPECT_FALSE(checked->authorities[1].directory);
    EXPECT_EQ(checked->authorities[2].path.text(), "\\\\?\\C:\\deps2");
    EXPECT_TRUE(checked->authorities[2].directory);
    EXPECT_EQ(checked->cwd.text(), "\\\\?\\C:\\work\\ws\\Src");
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

// A run's set-up and launch on the launch fixture's host: the workspace
// C:\work\ws with the private directory "secret", and the readable C:\deps.
class SetUpAndLaunchTest : public process::testing::LaunchTest {
protected:
    SetUpAndLaunchTest() {
        // The set-up grants the workspace itself: nothing of the fixture's grant stays.
        EXPECT_TRUE(winutil::WalkTree(platform(), "\\\\?\\C:\\work\\ws", true, never, winutil::WalkPolicy::cleanup,
                                      [&](const std::u16string& path, platform::Handle handle) -> Result<void> {
                                          TELVO_TRY(RevokeAuthorityObject(platform(), {path, handle, true}, sid));
                                          return Result<void>{};
                                      }));
        Dir("C:\\work\\ws\\secret");
        File("C:\\work\\ws\\secret\\key", "k");
        Dir("C:\\deps");
        Dir("C:\\deps\\bin");
        File("C:\\deps\\tool.exe");
        checked = {{telvo::testing::PathOf("\\\\?\\C:\\work\\ws"), true, true},
                   {telvo::testing::PathOf("\\\\?\\C:\\deps"), false, true},
                   {telvo::testing::PathOf("\\\\?\\C:\\deps\\tool.exe"), false, false}};
        journal.data.authorities.push_back(winutil::CaptureRecordedPath(platform(), "\\\\?\\C:\\deps").value());
        journal.data.authorities.push_back(
            winutil::CaptureRecordedPath(platform(), "\\\\?\\C:\\deps\\tool.exe").value());
        EXPECT_TRUE(WriteJournal(platform(), journal));
        run.command = "build";
        run.network_access = true;
        run.profile_name = testing::kProfileName;
        run.app_container_sid = &sid;
        run.capabilities = &capabilities;
        run.app_container_folder = process::testing::kHome;
        run.journal = &journal;
        run.job = job;
        run.controller_gone = gone;
    }
    Result<std::int32_t> Launch() { return SetUpAndLaunch(seam, checked, {"C:\\work\\ws\\secret"}, run); }

    std::vector<CommandAuthority> checked;
    SandboxRun run{.cwd = telvo::testing::PathOf("\\\\?\\C:\\work\\ws")};
};

TEST_F(SetUpAndLaunchTest, CommandRunsWithExactlyItsGrantsAndTheRunUndoesThemAll) {
    using Action = platform::sim::step::File::Action;
    using platform::sim::step::File;
    Script("build", {File{Action::read, u"C:\\work\\ws\\a.txt", {}}, File{Action::write, u"C:\\work\\ws\\out.txt", "o"},
                     File{Action::read, u"C:\\work\\ws\\secret\\key", {}}, File{Action::list, u"C:\\work\\ws\\.supervisor", {}},
                     File{Action::remove, u"C:\\work\\ws\\.supervisor", {}}, File{Action::read, u"C:\\deps\\tool.exe", {}},
                     File{Action::write, u"C:\\deps\\x", "x"}, platform::sim::step::Exit{7}});
    auto launched = Launch();
    ASSERT_TRUE(launched) << launched.error().Display();
    EXPECT_EQ(*launched, 7);
    EXPECT_EQ(Output(),
              "ran\n"
              "read C:\\work\\ws\\a.txt: ok\n"
              "write C:\\work\\ws\\out.txt: ok\n"
              "read C:\\work\\ws\\secret\\key: error 5\n"
              "list C:\\work\\ws\\.supervisor: error 5\n"
              "delete C:\\work\\ws\\.supervisor: error 5\n"
              "read C:\\deps\\tool.exe: ok\n"
              "write C:\\deps\\x: error 5\n");
    // The readable directory is searched; the readable file is not a directory.
    const auto& entries = LastChild()->image().environment;
    EXPECT_NE(std::find(entries.begin(), entries.end(),
                        u"PATH=C:\\Windows\\System32;C:\\Windows;C:\\work\\ws;C:\\deps;C:\\deps\\bin"),
              entries.end());
    // The controller's state was made private and recorded for removal.
    ASSERT_EQ(journal.data.created_paths.size(), 3u);

    // The run's cleanup finds every grant and every made directory recorded.
    ASSERT_TRUE(ExactCleanup(platform(), ReadJournalFile(platform(), journal.path).value(), journal.path));
    EXPECT_FALSE(files().Lookup(u"C:\\work\\ws\\.supervisor"));
    EXPECT_FALSE(files().Lookup(u"C:\\work\\ws\\.zanth"));
    for (const char* path : {"C:\\work\\ws", "C:\\work\\ws\\out.txt", "C:\\deps", "C:\\deps\\tool.exe"}) {
        for (const auto& ace : AcesOf(path)) EXPECT_FALSE(ace.sid() != nullptr && *ace.sid() == sid) << path;
    }
}

TEST_F(SetUpAndLaunchTest, AuthorityTheJournalDoesNotNameIsNeverGranted) {
    Script("build");
    journal.data.authorities.pop_back();
    const auto before = AcesOf("C:\\deps");
    EXPECT_EQ(ErrorOf(Launch()), "the recovery journal does not name the authority \\\\?\\C:\\deps\\tool.exe");
    EXPECT_EQ(AcesOf("C:\\deps"), before);
    EXPECT_TRUE(journal.data.created_paths.empty());
}

// Each grant is read back: one that did not stick stops the run before launch.
TEST_F(SetUpAndLaunchTest, GrantThatDidNotStickStopsTheSetUp) {
    Script("build");
    const auto unchanged = AcesOf("C:\\deps");
    ReplaceAfterWrite("\\\\?\\C:\\deps", "NtSetSecurityObject", "NtQuerySecurityObject", unchanged);
    EXPECT_EQ(ErrorOf(Launch()), "AppContainer grant does not match object policy: \\\\?\\C:\\deps");
    EXPECT_TRUE(processes.creations.empty());
}

TEST_F(SetUpAndLaunchTest, ControllerGoneStopsTheSetUpBetweenPhases) {
    Script("build");
    gone->store(true);
    EXPECT_EQ(ErrorOf(Launch()), "controller closed stdin during sandbox setup");
    gone->store(false);
    // Gone while the private directories are made: before the first grant.
    host.faults().OnCall("NtCreateFile", host.faults().Count("NtCreateFile") + 1, [&] { gone->store(true); });
    const auto before = AcesOf("C:\\deps");
    EXPECT_EQ(ErrorOf(Launch()), "controller closed stdin during ACL setup");
    EXPECT_EQ(AcesOf("C:\\deps"), before);
    gone->store(false);
    // Gone in the middle of a grant walk.
    host.faults().OnCall("NtSetSecurityObject", host.faults().Count("NtSetSecurityObject") + 2, [&] { gone->store(true); });
    EXPECT_EQ(ErrorOf(Launch()), "controller closed stdin during ACL setup");
    gone->store(false);
    // Gone while the environment is built.
    host.faults().OnCall("GetSystemDirectoryW", host.faults().Count("GetSystemDirectoryW") + 1, [&] { gone->store(true); });
    EXPECT_EQ(ErrorOf(Launch()), "controller closed stdin before process launch");
    EXPECT_TRUE(processes.creations.empty());
}

}  // namespace
}  // namespace telvo::windows
