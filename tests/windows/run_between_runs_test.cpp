// Whole helper processes of one user on one host, and what may happen between
// a run and the next: a crash, another user taking the live marker's name,
// the user elevated or not, the workspace swapped, a lock held through the
// teardown. Each ends with the user's next run working and no entry of a
// run's SID left on the host.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "main/process_entry.h"
#include "run_fixture.h"
#include "support/frames.h"
#include "windows/acl_mutation_lock.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;
using platform::sim::SimToken;

const Sid kOther = Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1002});
constexpr char kRunBuild[] =
    R"({"operation":"run","protocolVersion":1,"command":"build","cwd":"C:\\work\\ws","root":"C:\\work\\ws",)"
    R"("mode":"workspace-write","readableRoots":[],"privatePaths":[],"networkAccess":true})";
constexpr char kRecover[] = R"({"operation":"recover","protocolVersion":1})";
constexpr char kBuilt[] = "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":3}\n";
constexpr char kRecovered[] = "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n";

class BetweenRuns : public RunOrchestrationTest {
protected:
    BetweenRuns() {
        Script("build", {step::File{step::File::Action::write, u"C:\\work\\ws\\out.txt", "o"}, step::Exit{3}});
    }

    // One whole helper process as a controller drives it; what it wrote
    // from its record on.
    std::string Entry(const std::string& body) {
        host.stdin_pipe().SetBytes(telvo::testing::Frame(body));
        (void)app::ProcessEntry(host.platform());
        const std::string out = host.stdout_pipe().Bytes();
        const std::size_t record = out.find("{\"kind\":");
        return record == std::string::npos ? out : out.substr(record);
    }
    // The user's next process, with the token of the last one.
    void NextProcess() {
        host.EndProcessAndStartNext();
        // The last process's monitor thread sees its input close and ends;
        // its calls must not count among the next process's.
        host.processes().JoinThreads();
        host.stdin_pipe().HoldOpen();
    }
    // A run that dies once its command has ended, with its grants, profile
    // and journal in place; the profile it leaves. The command's processes
    // have exited by then, so the helper's own next call is the one that
    // does not come back.
    std::string CrashedRun() {
        host.faults().OnCall("TerminateJobObject", host.faults().Count("TerminateJobObject") + 1,
                             [this] { host.faults().CrashAfter(0); });
        (void)Entry(kRunBuild);
        EXPECT_TRUE(host.CallerIsDead());
        host.StartNewProcess();
        host.stdin_pipe().HoldOpen();
        const auto journals = Journals();
        EXPECT_EQ(journals.size(), 1u);
        if (journals.empty()) return "";
        const std::string path = telvo::testing::Narrow(journals.front());
        const std::size_t name = path.rfind('\\') + 1;
        return path.substr(name, path.size() - name - 5);
    }
    // Another user's process creates a mutex at the marker's name of
    // `profile` and keeps it open.
    void Squat(const std::string& profile, std::vector<winformat::Ace> aces) {
        winformat::SecurityDescriptor descriptor;
        descriptor.owner = kOther;
        descriptor.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, std::move(aces)).value());
        platform::sim::SimHelperProcess& squatter = host.StartHelperProcess();
        const auto bound = host.Bind(squatter);
        host.security().SetProcessToken(SimToken::InteractiveUser(kOther, false, false));
        auto created =
            host.platform().sync.CreateMutexW(descriptor.ToSelfRelative(), false, false, Wide("Global\\" + profile));
        ASSERT_TRUE(created);
        EXPECT_FALSE(created->already_existed);
    }
    void SquatAfterACrashDoesNotBlockTheNextRun(std::vector<winformat::Ace> aces) {
        const std::string profile = CrashedRun();
        ASSERT_FALSE(profile.empty());
        Squat(profile, std::move(aces));
        NextProcess();
        EXPECT_EQ(Entry(kRunBuild), kBuilt);
        const std::vector<std::string> squatted{"live marker Global\\" + profile};
        EXPECT_EQ(Leftovers(), squatted);
        NextProcess();
        EXPECT_EQ(Entry(kRunBuild), kBuilt);
        EXPECT_EQ(Leftovers(), squatted);
    }
};

TEST_F(BetweenRuns, AMarkerNameSquattedWithADaclRefusingTheUserCountsAsADeadRun) {
    SquatAfterACrashDoesNotBlockTheNextRun({winformat::Ace::Allowed(0x001F0001, kOther)});
}

TEST_F(BetweenRuns, AMarkerNameSquattedWithADaclLettingAnyoneWaitCountsAsADeadRun) {
    SquatAfterACrashDoesNotBlockTheNextRun({winformat::Ace::Allowed(0x00120000, winformat::well_known::World())});
}

// An elevated administrator's token makes Administrators the owner of what
// it creates; the state directory and the marker name the user instead, so
// the same user's runs work elevated and not, and each recovers the other's.
TEST_F(BetweenRuns, AnElevatedAdministratorRunsCrashesRecoversAndThenRunsUnelevated) {
    host.security().SetProcessToken(SimToken::InteractiveUser(kUser, true, true));
    EXPECT_EQ(Entry(kRunBuild), kBuilt);
    const auto state = winformat::SecurityDescriptor::ParseSelfRelative(host.files().SecurityDescriptorOf(kState).value());
    ASSERT_TRUE(state);
    EXPECT_EQ(state->owner, kUser);
    NextProcess();
    EXPECT_FALSE(CrashedRun().empty());
    EXPECT_EQ(Entry(kRecover), kRecovered);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // Crashed elevated, recovered by the next run unelevated.
    NextProcess();
    EXPECT_FALSE(CrashedRun().empty());
    host.security().SetProcessToken(SimToken::InteractiveUser(kUser, true, false));
    EXPECT_EQ(Entry(kRunBuild), kBuilt);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// The workspace is moved away and another directory put in its place after
// the journal recorded it: the grant proves the root before its first
// change, so the replacement receives nothing. Once the user puts the
// workspace back, the next run recovers and works.
TEST_F(BetweenRuns, AWorkspaceSwappedBeforeTheGrantReceivesNothing) {
    host.faults().OnCall("CreateAppContainerProfile", host.faults().Count("CreateAppContainerProfile") + 1, [this] {
        ASSERT_TRUE(host.files().Rename(u"C:\\work\\ws", u"C:\\work\\ws-moved"));
        ASSERT_TRUE(host.files().MakeDirectory(u"C:\\work\\ws"));
    });
    const std::string record = Entry(kRunBuild);
    EXPECT_NE(record.find("sandbox command failed: authority identity changed since the recovery journal recorded "
                          "it: \\\\\\\\?\\\\C:\\\\work\\\\ws"),
              std::string::npos)
        << record;
    // The profile stays for the next run to delete, with its own folder,
    // whose AC folder grants the package as Windows makes it; nothing else
    // holds an entry.
    for (const std::string& left : Leftovers()) {
        if (left.find("\\Packages\\") != std::string::npos) continue;
        EXPECT_FALSE(left.starts_with("entry for")) << left;
    }

    ASSERT_TRUE(host.files().Rename(u"C:\\work\\ws", u"C:\\work\\ws-replacement"));
    ASSERT_TRUE(host.files().Rename(u"C:\\work\\ws-moved", u"C:\\work\\ws"));
    NextProcess();
    EXPECT_EQ(Entry(kRunBuild), kBuilt);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Another process of the user holds the ACL mutation lock through the whole
// teardown: the run keeps its grants and says so, and the next run, once the
// lock is free, undoes them.
TEST_F(BetweenRuns, ATeardownThatCannotTakeTheLockSaysWhatItKeeps) {
    std::shared_ptr<platform::sim::SimFileObject> holder;
    host.faults().OnCall("TerminateJobObject", host.faults().Count("TerminateJobObject") + 1, [&] {
        auto opened = host.files().OpenInOtherProcess(std::u16string(kState) + u"\\" + Wide(kAclMutationLockFile),
                                                      0x0012019F, 0x3, 0);
        ASSERT_TRUE(opened);
        ASSERT_TRUE(host.files().LockInOtherProcess(**opened, 0, 1));
        holder = *opened;
    });
    const std::string record = Entry(kRunBuild);
    EXPECT_NE(record.find("sandbox ACL/profile cleanup failed: ACL mutation lock is busy; timed out; the run's ACLs, "
                          "profile and journal are kept for crash recovery"),
              std::string::npos)
        << record;
    EXPECT_EQ(record.find("without changing permissions"), std::string::npos) << record;
    EXPECT_FALSE(Leftovers().empty());

    holder.reset();
    NextProcess();
    EXPECT_EQ(Entry(kRunBuild), kBuilt);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::windows
