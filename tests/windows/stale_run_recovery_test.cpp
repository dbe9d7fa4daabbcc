#include "windows/stale_run_recovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

#include "dacl_fixture.h"
#include "identity/capability_set.h"
#include "network_broker/broker_test_host.h"
#include "support/clean_host.h"
#include "windows/authority_access.h"
#include "windows/journal.h"
#include "winutil/recorded_path.h"
#include "winutil/walk_tree.h"
#include "support/local_path_of.h"

namespace telvo::windows {
namespace {

using namespace testing;

constexpr char kState[] = "\\\\?\\C:\\state";
constexpr char kWorkspace[] = "\\\\?\\C:\\work\\ws";
constexpr char kOut[] = "\\\\?\\C:\\work\\ws\\out";
constexpr char kOtherProfile[] = "Telvo.Sandbox.ffeeddccbbaa99887766554433221100";
const Sid kUser = Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1001});

// A host on which a run of kProfileName made its profile, granted the
// workspace C:\work\ws, created C:\work\ws\out and journalled all of it in
// C:\state; it is alive while it holds its live marker.
class StaleRunRecoveryTest : public DaclTest {
protected:
    StaleRunRecoveryTest() {
        host.security().SetTokenUser(kUser);
        constexpr std::uint8_t inherit = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
        PlantDacl("C:\\", {Ace::Allowed(0x001F01FF, winformat::well_known::Administrators(), inherit),
                           Ace::Allowed(0x001F01FF, kUser, inherit)});
        Dir("C:\\work");
        Dir("C:\\work\\ws");
        File("C:\\work\\ws\\a.txt", "a");
        Dir("C:\\state");
    }

    void StartRun(bool broker_required = false) {
        const std::string mutex = std::string("Global\\") + kProfileName;
        marker = CreateLiveMarker(platform(), mutex).value();
        journal = CreateJournal(platform(), kState, kProfileName, mutex, {kWorkspace}).value();
        journal.data.broker_required = broker_required;
        ASSERT_TRUE(WriteJournal(platform(), journal));
        auto& appcontainer = platform().appcontainer;
        ASSERT_TRUE(identity::CreateProfile(appcontainer, kProfileName,
                                            identity::CapabilitySet::Resolve(appcontainer).value()));
        Dir(kOut);
        journal.data.created_paths.push_back(winutil::CaptureRecordedPath(platform(), kOut).value());
        ASSERT_TRUE(WriteJournal(platform(), journal));
        const AuthorityAccess authority{telvo::testing::PathOf(kWorkspace), true, {}};
        ASSERT_TRUE(winutil::WalkTree(platform(), kWorkspace, true, never, winutil::WalkPolicy::prove,
                                      [&](const std::u16string& path, platform::Handle handle) {
                                          return GrantAuthorityAccess(platform(), path, handle, authority, sid);
                                      }));
        ASSERT_TRUE(GrantsRemain());
    }
    // The run's process ends: its live marker goes with its handle.
    void Die() { marker.reset(); }

    Result<void> Recover() { return RecoverStaleRuns(platform(), kState); }
    std::string Refusal() { return ErrorOf(Recover()); }
    std::vector<std::string> Leftovers() { return telvo::testing::RunLeftovers(host, Wide(kState)); }
    bool GrantsRemain() {
        for (const Ace& ace : AcesOf(kWorkspace)) {
            if (ace.sid() != nullptr && *ace.sid() == sid) return true;
        }
        return false;
    }
    // The run's journal, its grants and its profile are all still there.
    void ExpectRetained() {
        EXPECT_TRUE(files().Lookup(Wide(journal.path)));
        EXPECT_TRUE(GrantsRemain());
        EXPECT_TRUE(host.appcontainer().FindProfile(Wide(kProfileName)));
    }
    std::string StatePath(std::string_view name) { return std::string(kState) + "\\" + std::string(name); }

    std::optional<platform::UniqueHandle> marker;
    JournalRecord journal;
    std::atomic<bool> never{false};
};

TEST_F(StaleRunRecoveryTest, NothingToRecoverSucceedsAndChangesNothing) {
    const std::size_t handles = OpenHandles();
    EXPECT_TRUE(RecoverStaleRuns(platform(), "\\\\?\\C:\\missing"));
    EXPECT_TRUE(Recover());
    // Nothing but "<stem>.json" is a journal: the temporary file of a write,
    // the lock file, a name that is all extension or ends in a dot, an
    // extension in another case, a directory of another name.
    for (const char* name : {"acl-mutations.lock", ".json", "notes.json.new",
                             "Telvo.Sandbox.00112233445566778899aabbccddeeff.", "notes.JSON"}) {
        File(StatePath(name), "{");
    }
    Dir(StatePath("sub"));
    EXPECT_TRUE(Recover()) << Refusal();
    EXPECT_TRUE(files().Lookup(Wide(StatePath("notes.JSON"))));
    EXPECT_EQ(OpenHandles(), handles);
}

// A journal's temporary file stays while its run lives and goes once the run
// is dead: a crash between writing it and putting it in place leaves it.
TEST_F(StaleRunRecoveryTest, ADeadRunsJournalDraftIsRemoved) {
    StartRun();
    const std::string draft = journal.path + ".new";
    File(draft, "{");
    const std::string other_draft = StatePath(std::string(kOtherProfile) + ".json.new");
    File(other_draft, "{");
    const auto other_marker = CreateLiveMarker(platform(), std::string("Global\\") + kOtherProfile).value();
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_TRUE(files().Lookup(Wide(draft)));
    Die();
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_FALSE(files().Lookup(Wide(draft)));
    EXPECT_TRUE(files().Lookup(Wide(other_draft)));  // its run still lives
    const std::vector<std::string> left{"journal " + other_draft, "live marker Global\\" + std::string(kOtherProfile)};
    EXPECT_EQ(Leftovers(), left);
}

// A draft never stops recovery: one whose run cannot be proved dead, or that
// cannot be removed, stays for a later recovery, and the walk goes on.
TEST_F(StaleRunRecoveryTest, ADraftThatCannotBeProbedOrRemovedStaysAndRecoveryGoesOn) {
    StartRun();
    Die();
    // "<profile>.json" is listed before "<profile>.json.new" whichever way
    // the directory is enumerated: the journal's probe comes first.
    const std::string draft = journal.path + ".new";
    File(draft, "{");
    host.faults().FailOn("OpenMutexW", host.faults().Count("OpenMutexW") + 2, SysError::Win32(1450));
    EXPECT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"journal " + draft});

    host.faults().FailAlways("DeleteFileW", SysError::Win32(5));
    EXPECT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"journal " + draft});

    host.faults().Clear();
    EXPECT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(StaleRunRecoveryTest, LiveRunIsLeftAloneAndADeadOneIsUndoneWhole) {
    StartRun();
    const std::size_t handles = OpenHandles();
    ASSERT_TRUE(Recover()) << Refusal();
    ExpectRetained();
    EXPECT_TRUE(files().Lookup(Wide(kOut)));

    Die();
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    EXPECT_FALSE(files().Lookup(Wide(kOut)));
    EXPECT_TRUE(files().Lookup(Wide("C:\\work\\ws\\a.txt")));
    EXPECT_EQ(OpenHandles(), handles - 1);  // the marker's
}

TEST_F(StaleRunRecoveryTest, JournalThatCannotBeTrustedIsRefusedAndKept) {
    StartRun();
    Die();
    const std::string text = files().Lookup(Wide(journal.path))->contents;
    // Renamed to another valid profile's name.
    Rename(journal.path, StatePath(std::string(kOtherProfile) + ".json"));
    EXPECT_EQ(Refusal(), "recovery journal filename does not match its profile identity");
    Rename(StatePath(std::string(kOtherProfile) + ".json"), journal.path);
    // A member the journal format does not know.
    files().Remove(Wide(journal.path));
    File(journal.path, text.substr(0, text.size() - 1) + ",\"extra\":1}");
    EXPECT_EQ(Refusal().rfind("invalid recovery journal " + journal.path + ": ", 0), 0u) << Refusal();
    ExpectRetained();
}

TEST_F(StaleRunRecoveryTest, OnlyAPlainJournalFileOfAProfileNameIsRead) {
    const std::string named = StatePath(std::string(kOtherProfile) + ".json");
    const std::string invalid = "invalid recovery journal " + named;
    Dir(named);
    EXPECT_EQ(Refusal(), invalid);
    files().Remove(Wide(named));
    Junction(named, "C:\\work");
    EXPECT_EQ(Refusal(), invalid);
    files().Remove(Wide(named));
    ASSERT_TRUE(files().MakeSymlink(Wide(named), Wide(StatePath("elsewhere")), false));
    EXPECT_EQ(Refusal(), invalid);
    files().Remove(Wide(named));
    File(named, std::string(kMaxJournalBytes + 1, ' '));
    EXPECT_EQ(Refusal(), invalid);
    files().Remove(Wide(named));

    File(StatePath("stray.json"), "{}");
    EXPECT_EQ(Refusal(), "invalid Telvo AppContainer profile name");
    files().Remove(Wide(StatePath("stray.json")));
    ASSERT_TRUE(files().MakeFile(u"C:\\state\\Telvo.Sandbox.\xD800.json", "{}"));
    EXPECT_EQ(Refusal(), "invalid recovery journal name");
}

TEST_F(StaleRunRecoveryTest, SessionLocalLegacyJournalIsRetainedWithItsReason) {
    const std::string legacy = std::string("{\"journalVersion\":2,\"profileName\":\"") + kProfileName +
                               "\",\"mutexName\":\"Local\\\\" + kProfileName +
                               "\",\"authorities\":[{\"path\":\"\\\\\\\\?\\\\C:\\\\work\\\\ws\",\"identity\":{"
                               "\"volumeSerial\":1,\"fileIndex\":5}}],\"touchedPaths\":[],\"createdPaths\":[]}";
    File(StatePath(std::string(kProfileName) + ".json"), legacy);
    EXPECT_EQ(Refusal(),
              "legacy session-local recovery journal retained: another Windows session may still own this run; "
              "automatic recovery cannot establish its liveness");
    EXPECT_TRUE(files().Lookup(Wide(StatePath(std::string(kProfileName) + ".json"))));
}

TEST_F(StaleRunRecoveryTest, LivenessThatCannotBeEstablishedStopsRecovery) {
    StartRun();
    Die();
    // Refused (5), absent (2) or of another type (6) all prove the run's own
    // marker gone; any other failure proves nothing.
    FailNext("OpenMutexW", 1450);
    EXPECT_EQ(Refusal(), "could not establish sandbox liveness (Win32 error 1450); recovery journal retained");
    ExpectRetained();
}

// The lease goes first: nothing is undone unless the broker proves the job empty.
TEST_F(StaleRunRecoveryTest, OfflineRunIsUndoneOnlyAfterTheBrokerRecoversItsLease) {
    StartRun(true);
    Die();
    const std::string retained = "offline broker could not prove the stale job empty; journal and ACLs retained: ";
    // The service is installed but nothing serves its pipe.
    network_broker::testing::InstallOfflineService(host);
    EXPECT_EQ(Refusal().rfind(retained, 0), 0u) << Refusal();
    ExpectRetained();

    network_broker::testing::ServeBrokerResult(host,
                                               network_broker::ErrorResult{"recovery profile belongs to a different account"});
    EXPECT_EQ(Refusal(), retained + "offline-network broker: recovery profile belongs to a different account");
    ExpectRetained();
    network_broker::testing::ServeBrokerResult(host, network_broker::ReleasedResult{});
    EXPECT_EQ(Refusal(), retained + "unexpected network broker recovery reply");
    ExpectRetained();

    network_broker::testing::ServeBrokerResult(host, network_broker::RecoveredResult{});
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Without the service no lease can exist: the broker's part holds, and the
// user's next run recovers and works.
TEST_F(StaleRunRecoveryTest, AnOfflineRunOnAHostWithoutTheServiceIsRecovered) {
    StartRun(true);
    Die();
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    StartRun(true);
    Die();
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // A manager that cannot be asked proves nothing.
    StartRun(true);
    Die();
    FailNext("OpenSCManagerW", 5);
    EXPECT_EQ(Refusal(),
              "offline broker could not prove the stale job empty; journal and ACLs retained: "
              "OpenSCManagerW(network setup) failed with Win32 error 5");
    ExpectRetained();
}

// The service is there, but another process holds its pipe and answers
// "recovered": the answer is not the service's, and nothing is undone.
TEST_F(StaleRunRecoveryTest, AnImpostorOnThePipeCannotRecoverAnOfflineRun) {
    StartRun(true);
    Die();
    network_broker::testing::InstallOfflineService(host);
    network_broker::testing::PipeServerScript impostor;
    impostor.server_process_id = network_broker::testing::kServicePid + 4;
    network_broker::testing::ServeBroker(host, {network_broker::testing::PipeChunk{0, network_broker::testing::ReplyText(
                                                                  network_broker::RecoveredResult{})}},
                                         impostor);
    EXPECT_EQ(Refusal(),
              "offline broker could not prove the stale job empty; journal and ACLs retained: "
              "network pipe identity changed or differs from the protected running service");
    ExpectRetained();
}

TEST_F(StaleRunRecoveryTest, FailedCleanupKeepsTheJournalForTheNextWalk) {
    StartRun();
    Die();
    FailNextNt("NtSetSecurityObject", 0xC0000022);
    const std::string error = Refusal();
    EXPECT_EQ(error.rfind(std::string("could not recover stale sandbox ") + kProfileName + ": ", 0), 0u) << error;
    EXPECT_TRUE(files().Lookup(Wide(journal.path)));
    EXPECT_TRUE(host.appcontainer().FindProfile(Wide(kProfileName)));

    // The journal is removed last, under the metadata lock.
    FailNext("DeleteFileW", 5);
    EXPECT_EQ(Refusal(), "could not remove recovered journal " + journal.path + ": DeleteFileW failed with Win32 error 5");
    EXPECT_TRUE(files().Lookup(Wide(journal.path)));
    ASSERT_TRUE(Recover()) << Refusal();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(StaleRunRecoveryTest, EnumerationIsBoundedAndItsFailureIsReported) {
    FailNext("GetFileInformationByHandleEx", 5);
    EXPECT_EQ(Refusal(), std::string("could not enumerate ") + kState +
                             ": GetFileInformationByHandleEx(FileIdBothDirectoryInfo) failed with Win32 error 5");
    for (std::size_t i = 0; i < kMaxRecoveryEntries; ++i) File(StatePath("f" + std::to_string(i)));
    EXPECT_TRUE(Recover()) << Refusal();
    File(StatePath("one-more"));
    EXPECT_EQ(Refusal(), std::string("could not enumerate ") + kState + ": the recovery directory holds more than " +
                             std::to_string(kMaxRecoveryEntries) + " entries");
}

}  // namespace
}  // namespace telvo::windows
