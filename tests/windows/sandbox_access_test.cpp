#include "windows/sandbox_access.h"

#include <gtest/gtest.h>

#include "dacl_fixture.h"
#include "windows/journal.h"
#include "winformat/sddl.h"
#include "winutil/walk_tree.h"
#include "support/local_path_of.h"

namespace telvo::windows {
namespace {

using testing::Ace;
using testing::DaclTest;
using testing::Sid;
namespace wk = winformat::well_known;
namespace flag = winformat::ace_flag;

constexpr std::uint8_t kInherit = flag::kObjectInherit | flag::kContainerInherit;
const Sid kUser = Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1001});
const Sid kCapability = Sid::Make(15, {3, 1024, 1, 2, 3, 4, 5, 6, 7, 8});
const Sid kMetadataCapability = Sid::Make(15, {3, 1024, 9, 9, 9, 9, 9, 9, 9, 9});

// A workspace C:\work\ws (writable, with the private directory "secret") and
// C:\work\ro (read-only), granted by the engine itself, and the child's
// token as process creation makes it: less-privileged, at low integrity.
class SandboxAccessTest : public DaclTest {
protected:
    SandboxAccessTest() {
        host.security().SetTokenUser(kUser);
        // The host preparation lets the capability read the system drive's metadata.
        PlantDacl("C:\\", {Ace::Allowed(0x001F01FF, wk::Administrators(), kInherit),
                           Ace::Allowed(0x001200A9, wk::Users(), kInherit), Ace::Allowed(0x00120088, kMetadataCapability)});
        Dir("C:\\work");
        PlantDacl("C:\\work", {Ace::Allowed(0x001F01FF, kUser, kInherit)});
        Dir("C:\\work\\ws");
        File("C:\\work\\ws\\a.txt");
        Dir("C:\\work\\ws\\src");
        File("C:\\work\\ws\\src\\main.c");
        Dir("C:\\work\\ws\\secret");
        File("C:\\work\\ws\\secret\\key");
        Dir("C:\\work\\ro");
        File("C:\\work\\ro\\lib.c");

        authorities = {AuthorityAccess{telvo::testing::PathOf("\\\\?\\C:\\work\\ws"), true, {telvo::testing::PathOf("\\\\?\\C:\\work\\ws\\secret")}},
                       AuthorityAccess{telvo::testing::PathOf("\\\\?\\C:\\work\\ro"), false, {}}};
        for (const auto& authority : authorities) Grant(authority);
        Dir("C:\\state");
        PlantDacl("C:\\state", {Ace::Allowed(0x001F01FF, kUser, kInherit)});
        journal = CreateJournal(platform(), "\\\\?\\C:\\state", testing::kProfileName,
                                std::string("Global\\") + testing::kProfileName,
                                {"\\\\?\\C:\\work\\ws", "\\\\?\\C:\\work\\ro"})
                      .value();
    }

    void Grant(const AuthorityAccess& authority) {
        ASSERT_TRUE(winutil::WalkTree(platform(), authority.root.text(), true, never, winutil::WalkPolicy::prove,
                                      [&](const std::u16string& path, platform::Handle handle) {
                                          return GrantAuthorityAccess(platform(), path, handle, authority, sid);
                                      }));
    }

    // The suspended child as process creation makes it: an AppContainer
    // (less-privileged unless asked otherwise) with the two capabilities.
    // Returns a handle to its primary token.
    platform::UniqueHandle ChildToken(bool less_privileged,
                                      std::vector<platform::sim::ProcessStep> script = {platform::sim::step::Exit{0}}) {
        auto& processes = platform().processes;
        host.processes().Script(u"cmd", std::move(script));
        std::size_t needed = 0;
        platform::UniqueAttributeList list(processes, processes.InitializeProcThreadAttributeList(3, 1024, needed).value());
        const platform::Handle output = platform().console.GetStdHandle(platform::StdStream::output).value();
        EXPECT_TRUE(processes.SetHandleInformation(output, platform::handle_flag::kInherit, platform::handle_flag::kInherit));
        EXPECT_TRUE(processes.UpdateProcThreadAttribute(list.get(), platform::proc_thread_attribute::kHandleList,
                                                        std::vector<platform::Handle>{output}));
        const platform::SecurityCapabilities capabilities{
            sid, {{kCapability, platform::group_attribute::kEnabled},
                  {kMetadataCapability, platform::group_attribute::kEnabled}}};
        EXPECT_TRUE(processes.UpdateProcThreadAttribute(list.get(), platform::proc_thread_attribute::kSecurityCapabilities,
                                                        capabilities));
        EXPECT_TRUE(processes.UpdateProcThreadAttribute(list.get(),
                                                        platform::proc_thread_attribute::kAllApplicationPackagesPolicy,
                                                        std::uint32_t{less_privileged ? 1u : 0u}));
        platform::CreateProcessParameters parameters;
        parameters.command_line = u"cmd";
        parameters.creation_flags = platform::creation_flag::kSuspended |
                                    platform::creation_flag::kExtendedStartupInfoPresent;
        parameters.startup_info.cb = platform::startup_info_layout::kExtendedSize;
        parameters.startup_info.flags = platform::startup_flag::kUseStdHandles;
        parameters.inherit_handles = true;
        parameters.startup_info.std_output = output;
        parameters.startup_info.attribute_list = list.get();
        const auto created = processes.CreateProcessW(parameters).value();
        child = platform::UniqueHandle(platform().kernel, created.process);
        child_thread = platform::UniqueHandle(platform().kernel, created.thread);
        return platform::UniqueHandle(platform().kernel,
                                      platform()
                                          .security.OpenProcessToken(created.process, platform::token_access::kQuery |
                                                                                          platform::token_access::kDuplicate)
                                          .value());
    }

    Result<void> Verify(bool less_privileged = true) {
        platform::UniqueHandle token = ChildToken(less_privileged);
        return VerifySandboxAccess(platform(), token.get(), SandboxAccessRun{&authorities, &sid, &journal, &gone});
    }

    void AddAce(std::string_view path, Ace ace) {
        auto aces = AcesOf(path);
        aces.insert(aces.begin(), std::move(ace));
        PlantDacl(path, std::move(aces), DescriptorOf(path).control);
    }

    platform::UniqueHandle child;
    platform::UniqueHandle child_thread;
    std::vector<AuthorityAccess> authorities;
    JournalRecord journal;
    std::atomic<bool> never{false};
    std::atomic<bool> gone{false};
};

constexpr char kFailed[] = "sandbox filesystem access verification failed; command not resumed: ";

TEST_F(SandboxAccessTest, GrantedTreePassesAndTheAncestorIsPreparedAfterItIsJournalled) {
    ASSERT_TRUE(Verify()) << ErrorOf(Verify());
    // C:\work could not be read for metadata: it now carries the exact entry,
    // and the journal names it.
    const auto aces = AcesOf("C:\\work");
    EXPECT_NE(std::find(aces.begin(), aces.end(), Ace::Allowed(0x00120088, sid)), aces.end());
    auto recorded = ReadJournalFile(platform(), journal.path);
    ASSERT_TRUE(recorded) << recorded.error().Display();
    ASSERT_EQ(recorded->metadata_paths.size(), 1u);
    EXPECT_EQ(recorded->metadata_paths[0].path, "\\\\?\\C:\\work");

    // The journal is written before the entry: with the journal write
    // failing, the ancestor keeps its DACL.
    PlantDacl("C:\\work", {Ace::Allowed(0x001F01FF, kUser, kInherit)});
    journal.data.metadata_paths.clear();
    FailNext("MoveFileExW", 87);  // not one of the sharing errors a replace waits out
    EXPECT_FALSE(Verify());
    EXPECT_EQ(AcesOf("C:\\work"), std::vector<Ace>{Ace::Allowed(0x001F01FF, kUser, kInherit)});
}

TEST_F(SandboxAccessTest, ReadOnlyObjectWritableThroughAnInheritedEntryFails) {
    AddAce("C:\\work\\ro\\lib.c", Ace::Allowed(0x00000116, sid, flag::kInherited));
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) +
                                     "actual sandbox token does not match access policy for \\\\?\\C:\\work\\ro\\lib.c "
                                     "(mask 0x1201bf)");
}

TEST_F(SandboxAccessTest, PrivateObjectReachableThroughAnySandboxPrincipalFails) {
    for (const Sid& principal : {kCapability, wk::AllRestrictedApplicationPackages(), sid}) {
        const auto original = AcesOf("C:\\work\\ws\\secret\\key");
        AddAce("C:\\work\\ws\\secret\\key", Ace::Allowed(0x00120089, principal));
        EXPECT_EQ(ErrorOf(Verify()),
                  std::string(kFailed) +
                      "actual sandbox token can access private object \\\\?\\C:\\work\\ws\\secret\\key (mask 0x120089)")
            << principal.ToString();
        PlantDacl("C:\\work\\ws\\secret\\key", original);
    }
}

// ALL APPLICATION PACKAGES does not reach a less-privileged token; the same
// tree fails for a plain AppContainer token.
TEST_F(SandboxAccessTest, AllApplicationPackagesCountsOnlyAgainstPlainAppContainers) {
    AddAce("C:\\work\\ws\\secret\\key", Ace::Allowed(0x00120089, wk::AllApplicationPackages()));
    EXPECT_TRUE(Verify(true)) << ErrorOf(Verify(true));
    EXPECT_EQ(ErrorOf(Verify(false)),
              std::string(kFailed) +
                  "actual sandbox token can access private object \\\\?\\C:\\work\\ws\\secret\\key (mask 0x120089)");
}

TEST_F(SandboxAccessTest, WritableRootThatAllowsDeleteFails) {
    AddAce("C:\\work\\ws", Ace::Allowed(0x00010000, sid));
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) +
                                     "actual sandbox token does not match access policy for \\\\?\\C:\\work\\ws "
                                     "(mask 0x1301bf)");
}

TEST_F(SandboxAccessTest, UnpreparedVolumeRootsAreTheAdministratorsToPrepare) {
    PlantDacl("C:\\", {Ace::Allowed(0x001F01FF, wk::Administrators(), kInherit),
                       Ace::Allowed(0x001200A9, wk::Users(), kInherit)});
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) +
                                     "sandbox requires fixed host metadata preparation for \\\\?\\C:\\; run telvo "
                                     "runtime windows-sandbox prepare from an Administrator terminal (no automatic "
                                     "elevation)");

    platform::sim::SimVolumeSpec second;
    second.root = u"D:";
    second.serial = 0x0D0D0D0D;
    files().AddVolume(second);
    Dir("D:\\data");
    PlantDacl("D:\\data", {Ace::Allowed(0x001F01FF, kUser, kInherit)});
    authorities = {AuthorityAccess{telvo::testing::PathOf("\\\\?\\D:\\data"), false, {}}};
    Grant(authorities[0]);
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) +
                                     "sandbox requires fixed host metadata preparation for \\\\?\\D:\\; run telvo "
                                     "runtime windows-sandbox prepare --drive D: from an Administrator terminal (no "
                                     "automatic elevation)");
}

// The profiles directory, like a volume root, is host-wide: the chain names
// it in its extended form, the machine's value in its plain one.
TEST_F(SandboxAccessTest, UnpreparedProfilesDirectoryIsTheAdministratorsToPrepare) {
    Dir("C:\\Users");
    PlantDacl("C:\\Users", {Ace::Allowed(0x001F01FF, wk::Administrators(), kInherit),
                             Ace::Allowed(0x001200A9, wk::Users())});
    Dir("C:\\Users\\tester");
    PlantDacl("C:\\Users\\tester", {Ace::Allowed(0x001F01FF, kUser, kInherit)});
    Dir("C:\\Users\\tester\\ws");
    authorities = {AuthorityAccess{telvo::testing::PathOf("\\\\?\\C:\\Users\\tester\\ws"), false, {}}};
    Grant(authorities[0]);
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) +
                                     "sandbox requires fixed host metadata preparation for \\\\?\\C:\\Users; run "
                                     "telvo runtime windows-sandbox prepare from an Administrator terminal (no "
                                     "automatic elevation)");
    EXPECT_EQ(journal.data.metadata_paths.size(), 0u);
}

// An ancestor the journal refuses is neither prepared nor left in the
// journal the run's cleanup reads.
TEST_F(SandboxAccessTest, AncestorTheJournalRefusesStaysOutOfIt) {
    // The third machine read: the one that checks the journal's metadata paths.
    host.faults().FailOn("RegGetValueW", Count("RegGetValueW") + 3, SysError::Win32(5));
    EXPECT_EQ(ErrorOf(Verify()),
              std::string(kFailed) + "RegGetValueW(ProfilesDirectory size) failed with Win32 error 5");
    EXPECT_EQ(Count("RegGetValueW"), 3u);
    EXPECT_TRUE(journal.data.metadata_paths.empty());
    EXPECT_TRUE(ReadJournalFile(platform(), journal.path).value().metadata_paths.empty());
    EXPECT_EQ(AcesOf("C:\\work"), std::vector<Ace>{Ace::Allowed(0x001F01FF, kUser, kInherit)});
}

// AccessCheck sees the object's mandatory label: a no-read-up label above
// medium keeps the sandbox from reading what its DACL grants, though the
// (elevated) helper reads and grants it.
TEST_F(SandboxAccessTest, LabelThatKeepsTheSandboxFromItsRowFails) {
    host.security().SetProcessToken(platform::sim::SimToken::InteractiveUser(kUser, true, true));
    auto descriptor = DescriptorOf("C:\\work\\ro\\lib.c");
    descriptor.sacl = winformat::ParseSddl("S:(ML;;NR;;;HI)").value().sacl;
    ASSERT_TRUE(files().SetSecurityDescriptor(u"C:\\work\\ro\\lib.c", descriptor.ToSelfRelative()));
    Grant(authorities[1]);
    const std::string error = ErrorOf(Verify());
    EXPECT_EQ(error.rfind(std::string(kFailed) +
                              "actual sandbox token does not match access policy for \\\\?\\C:\\work\\ro\\lib.c",
                          0),
              0u)
        << error;

    // Without the label's read restriction, the same tree passes.
    descriptor.sacl = winformat::ParseSddl("S:(ML;;NW;;;ME)").value().sacl;
    ASSERT_TRUE(files().SetSecurityDescriptor(u"C:\\work\\ro\\lib.c", descriptor.ToSelfRelative()));
    EXPECT_TRUE(Verify()) << ErrorOf(Verify());
}

TEST_F(SandboxAccessTest, ControllerGoneCancelsAndTokenFailuresAreNamed) {
    gone = true;
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) + "sandbox filesystem traversal cancelled");
    gone = false;

    FailNext("DuplicateTokenEx", 5);
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) + "DuplicateTokenEx(access verification) failed with Win32 error 5");
    FailNext("GetKernelObjectSecurity", 6);
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) + "GetKernelObjectSecurity(size) failed with Win32 error 6");
    FailNext("AccessCheck", 1338);
    EXPECT_EQ(ErrorOf(Verify()), std::string(kFailed) + "AccessCheck failed with Win32 error 1338");
}

// The child's own file operations meet the same checks: what the grants
// leave out fails with error 5.
TEST_F(SandboxAccessTest, ChildReachesExactlyWhatTheGrantsAllow) {
    using platform::sim::step::File;
    using Action = File::Action;
    auto token = ChildToken(true, {File{Action::write, u"C:\\work\\ws\\new.txt", "made"},
                                   File{Action::write, u"C:\\work\\ws\\src\\main.c", "changed"},
                                   File{Action::read, u"C:\\work\\ws\\secret\\key", ""},
                                   File{Action::list, u"C:\\work\\ws\\secret", ""},
                                   File{Action::read, u"C:\\work\\ro\\lib.c", ""},
                                   File{Action::write, u"C:\\work\\ro\\lib.c", "changed"},
                                   File{Action::write, u"C:\\work\\outside.txt", "escaped"},
                                   File{Action::remove, u"C:\\work\\ws\\src\\main.c", ""},
                                   File{Action::remove, u"C:\\work\\ws", ""},
                                   File{Action::mkdir, u"C:\\work\\ws\\build", ""}});
    ASSERT_TRUE(VerifySandboxAccess(platform(), token.get(), SandboxAccessRun{&authorities, &sid, &journal, &gone}));
    ASSERT_EQ(platform().processes.ResumeThread(child_thread.get()).value(), 1u);
    EXPECT_EQ(host.stdout_pipe().Bytes(),
              "write C:\\work\\ws\\new.txt: ok\n"
              "write C:\\work\\ws\\src\\main.c: ok\n"
              "read C:\\work\\ws\\secret\\key: error 5\n"
              "list C:\\work\\ws\\secret: error 5\n"
              "read C:\\work\\ro\\lib.c: ok\n"
              "write C:\\work\\ro\\lib.c: error 5\n"
              "write C:\\work\\outside.txt: error 5\n"
              "delete C:\\work\\ws\\src\\main.c: ok\n"
              "delete C:\\work\\ws: error 5\n"
              "mkdir C:\\work\\ws\\build: ok\n");
    EXPECT_EQ(files().Lookup(Wide("C:\\work\\ws\\new.txt"))->contents, "made");
}

}  // namespace
}  // namespace telvo::windows
