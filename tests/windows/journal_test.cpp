#include <gtest/gtest.h>

#include "support/platform_with.h"
#include "platform/sim/sim_host.h"
#include "windows/journal.h"
#include "windows/journal_fixture.h"
#include "windows/journal_json.h"
#include "windows/global_locks.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"

namespace telvo::windows {
namespace {

using testing::kAuthority;
using testing::kJournal;
using testing::kMutex;
using testing::kProfile;
using testing::kStateDir;

class JournalLifecycle : public testing::JournalTest {
protected:
    Result<JournalRecord> Create(std::vector<std::string> authorities = {kAuthority},
                                 std::string_view mutex = kMutex, std::string_view profile = kProfile) {
        return CreateJournal(platform(), kStateDir, profile, mutex, authorities);
    }
    std::string CreateRefusal(std::vector<std::string> authorities = {kAuthority}, std::string_view mutex = kMutex,
                              std::string_view profile = kProfile) {
        auto created = Create(std::move(authorities), mutex, profile);
        EXPECT_FALSE(created);
        return created ? std::string("created") : created.error().Display();
    }
    std::string ReadRefusal(std::string_view path = kJournal) {
        auto read = ReadJournalFile(platform(), path);
        EXPECT_FALSE(read);
        return read ? std::string("read") : read.error().Display();
    }
};

TEST_F(JournalLifecycle, CreatesTheDirectoryAndAFirstJournalOfTheAuthorities) {
    ASSERT_TRUE(host.files().MakeDirectory(Wide("C:\\data")));
    auto record = Create({kAuthority, "\\\\?\\C:\\data"});
    ASSERT_TRUE(record) << record.error().Display();
    EXPECT_EQ(record->path, kJournal);
    JournalData expected = testing::ValidJournal();
    expected.authorities = {{kAuthority, {0x2C5E1A07, host.files().Lookup(Wide(kAuthority))->file_index}},
                            {"\\\\?\\C:\\data", {0x2C5E1A07, host.files().Lookup(Wide("C:\\data"))->file_index}}};
    EXPECT_EQ(record->data, expected);
    EXPECT_EQ(Contents(kJournal), EncodeJournal(expected).value());
    EXPECT_EQ(ReadJournalFile(platform(), kJournal).value(), expected);
}

TEST_F(JournalLifecycle, ExistingJournalIsAnIdentityCollision) {
    ASSERT_TRUE(Create());
    const std::string first = Contents(kJournal);
    EXPECT_EQ(CreateRefusal(), "recovery journal identity collision");
    EXPECT_EQ(Contents(kJournal), first);
}

TEST_F(JournalLifecycle, RefusalsBeforeWritingLeaveNoJournal) {
    EXPECT_EQ(CreateRefusal({}), "a recovery journal requires at least one authority");
    EXPECT_EQ(CreateRefusal({kAuthority}, kMutex, "Telvo.Sandbox.x"), "invalid Telvo AppContainer profile name");
    EXPECT_EQ(CreateRefusal({"\\\\?\\C:\\work\\missing"}),
              "CreateFileW(\\\\?\\C:\\work\\missing) failed with Win32 error 2");
    EXPECT_FALSE(Exists(kStateDir));
    EXPECT_EQ(CreateRefusal({kAuthority}, "Local\\x"), "recovery journal mutex does not match its profile");
    EXPECT_FALSE(Exists(kJournal));
}

TEST_F(JournalLifecycle, RecoveryDirectoryThatCannotBeMadeIsNamed) {
    ASSERT_TRUE(host.files().MakeFile(Wide("C:\\Users\\tester\\AppData")));
    // The file standing where a directory belongs is named.
    EXPECT_EQ(CreateRefusal(), std::string("could not create recovery directory ") + kStateDir +
                                   ": CreateDirectoryW(\\\\?\\C:\\Users\\tester\\AppData) failed with Win32 error 183");
}

TEST_F(JournalLifecycle, FinishRunsTheCleanupThenRemovesTheJournal) {
    auto record = Create();
    ASSERT_TRUE(record);
    std::vector<JournalData> cleaned;
    auto failing = [&](const JournalData& data) -> Result<void> {
        cleaned.push_back(data);
        return Fail("revoke authority x: denied");
    };
    auto kept = FinishJournal(platform(), *record, failing);
    ASSERT_FALSE(kept);
    EXPECT_EQ(kept.error().Display(), "revoke authority x: denied");
    EXPECT_TRUE(Exists(kJournal));

    FailNext("DeleteFileW", 5);
    auto cleanup = [&](const JournalData& data) -> Result<void> {
        cleaned.push_back(data);
        return {};
    };
    auto undeleted = FinishJournal(platform(), *record, cleanup);
    ASSERT_FALSE(undeleted);
    EXPECT_EQ(undeleted.error().Display(),
              std::string("could not remove completed journal ") + kJournal + ": DeleteFileW failed with Win32 error 5");
    EXPECT_TRUE(Exists(kJournal));

    ASSERT_TRUE(FinishJournal(platform(), *record, cleanup));
    EXPECT_FALSE(Exists(kJournal));
    EXPECT_EQ(cleaned, std::vector<JournalData>(3, record->data));
}

TEST_F(JournalLifecycle, ReadRefusesWhatIsNotAPlainJournalFile) {
    ASSERT_TRUE(Create());
    const std::string dir = std::string(kStateDir) + "\\";
    EXPECT_EQ(ReadRefusal(dir + "missing.json"),
              "could not read " + dir + "missing.json: CreateFileW failed with Win32 error 2");
    ASSERT_TRUE(host.files().MakeDirectory(Wide(dir + "folder.json")));
    EXPECT_EQ(ReadRefusal(dir + "folder.json"), "invalid recovery journal " + dir + "folder.json");
    ASSERT_TRUE(host.files().MakeSymlink(Wide(dir + "link.json"), Wide(kJournal), false));
    EXPECT_EQ(ReadRefusal(dir + "link.json"), "invalid recovery journal " + dir + "link.json");
    ASSERT_TRUE(host.files().MakeFile(Wide(dir + "big.json"), std::string(kMaxJournalBytes + 1, ' ')));
    EXPECT_EQ(ReadRefusal(dir + "big.json"), "invalid recovery journal " + dir + "big.json");
    FailNext("ReadFile", 23);
    EXPECT_EQ(ReadRefusal(), std::string("could not read ") + kJournal + ": ReadFile failed with Win32 error 23");
}

TEST_F(JournalLifecycle, ReadRefusesAByteOrderMarkBeforeTheJournal) {
    ASSERT_TRUE(Create());
    const std::string text = Contents(kJournal);
    ASSERT_TRUE(ReadJournalFile(platform(), kJournal));
    ASSERT_TRUE(host.files().Remove(Wide(kJournal)));
    ASSERT_TRUE(host.files().MakeFile(Wide(kJournal), "\xEF\xBB\xBF" + text));
    EXPECT_TRUE(ReadRefusal().starts_with(std::string("invalid recovery journal ") + kJournal)) << ReadRefusal();
}

TEST_F(JournalLifecycle, ReadDecodesStrictlyAndValidates) {
    auto record = Create();
    ASSERT_TRUE(record);
    std::string text = Contents(kJournal);
    ASSERT_TRUE(host.files().Remove(Wide(kJournal)));
    ASSERT_TRUE(host.files().MakeFile(Wide(kJournal), text.substr(0, text.size() - 1) + ",\"x\":1}"));
    EXPECT_TRUE(ReadRefusal().starts_with(std::string("invalid recovery journal ") + kJournal + ": unknown field `x`"));

    record->data.journal_version = 2;
    record->data.mutex_name = std::string("Local\\") + kProfile;
    ASSERT_TRUE(WriteJournal(platform(), *record));
    EXPECT_TRUE(ReadRefusal().starts_with("legacy session-local recovery journal retained"));

    // Exactly the largest journal reads back.
    record->data = testing::ValidJournal();
    record->data.authorities[0].identity.file_index = 7;
    record->data.created_paths = {testing::Recorded(std::string(kAuthority) + "\\")};
    const std::size_t base = EncodeJournal(record->data).value().size();
    record->data.created_paths[0].path += std::string(kMaxJournalBytes - base, 'n');
    ASSERT_TRUE(WriteJournal(platform(), *record));
    EXPECT_EQ(Contents(kJournal).size(), kMaxJournalBytes);
    EXPECT_EQ(ReadJournalFile(platform(), kJournal).value(), record->data);
}

}  // namespace
}  // namespace telvo::windows

namespace telvo::windows {
namespace {

using testing::kJournal;
using testing::Recorded;

const std::string kTemporary = std::string(kJournal) + ".new";

// A journal record that already holds an earlier version on disk.
class JournalWrite : public testing::JournalTest {
protected:
    JournalWrite() {
        EXPECT_TRUE(host.files().MakeDirectory(Wide("C:\\Users\\tester\\AppData")));
        EXPECT_TRUE(host.files().MakeDirectory(Wide("C:\\Users\\tester\\AppData\\Local")));
        EXPECT_TRUE(host.files().MakeDirectory(Wide(testing::kStateDir)));
        record.path = kJournal;
        record.data = testing::ValidJournal();
        EXPECT_TRUE(WriteJournal(platform(), record));
        previous = Contents(kJournal);
        record.data.touched_paths = {Recorded("\\\\?\\C:\\work\\repo\\a")};
    }
    std::string Failure() {
        const std::size_t handles = host.handles().OpenCount();
        auto written = WriteJournal(platform(), record);
        EXPECT_FALSE(written);
        EXPECT_EQ(host.handles().OpenCount(), handles);
        return written ? std::string("written") : written.error().Display();
    }
    // The earlier journal is in place and no temporary file is left.
    void ExpectPreviousKept() {
        EXPECT_EQ(Contents(kJournal), previous);
        EXPECT_FALSE(Exists(kTemporary));
    }

    JournalRecord record;
    std::string previous;
};

TEST_F(JournalWrite, ReplacesTheWholeFileWithCompactJson) {
    ASSERT_TRUE(WriteJournal(platform(), record));
    EXPECT_EQ(Contents(kJournal), EncodeJournal(record.data).value());
    EXPECT_FALSE(Exists(kTemporary));
    // A stale temporary file from an earlier crash is truncated, not appended to.
    ASSERT_TRUE(host.files().MakeFile(Wide(kTemporary), std::string(5000, 'x')));
    record.data.touched_paths.clear();
    ASSERT_TRUE(WriteJournal(platform(), record));
    EXPECT_EQ(Contents(kJournal), previous);
    EXPECT_FALSE(Exists(kTemporary));
}

TEST_F(JournalWrite, FourMebibytesAreWrittenAndOneByteMoreIsRefused) {
    const std::size_t base = EncodeJournal(record.data).value().size();
    record.data.touched_paths[0].path += std::string(kMaxJournalBytes - base, 'a');
    ASSERT_EQ(EncodeJournal(record.data).value().size(), 4194304u);
    ASSERT_TRUE(WriteJournal(platform(), record));
    EXPECT_EQ(Contents(kJournal).size(), 4194304u);
    previous = Contents(kJournal);

    record.data.touched_paths[0].path += 'a';
    EXPECT_EQ(Failure(), "Windows sandbox recovery journal exceeded 4 MiB");
    ExpectPreviousKept();
}

TEST_F(JournalWrite, FailureAtEachWriteStepKeepsThePreviousJournal) {
    const std::string prefix = "could not write journal " + kTemporary + ": ";
    FailNext("CreateFileW", 5);
    EXPECT_EQ(Failure(), prefix + "CreateFileW failed with Win32 error 5");
    ExpectPreviousKept();
    FailNext("WriteFile", 112);
    EXPECT_EQ(Failure(), prefix + "WriteFile failed with Win32 error 112");
    ExpectPreviousKept();
    FailNext("FlushFileBuffers", 1117);
    EXPECT_EQ(Failure(), prefix + "FlushFileBuffers failed with Win32 error 1117");
    ExpectPreviousKept();
    EXPECT_EQ(host.faults().Count("MoveFileExW"), 1u);  // only the set-up's write got that far
}

TEST_F(JournalWrite, ReplacesWithWriteThrough) {
    host.faults().Watch("MoveFileExW");
    ASSERT_TRUE(WriteJournal(platform(), record));
    // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: the rename is on
    // disk before the write reports success.
    using Call = platform::sim::FaultPlan::Call;
    EXPECT_EQ(host.faults().Log(), (std::vector<Call>{{"MoveFileExW", {0x1 | 0x8}}}));
}

TEST_F(JournalWrite, ReplaceIsRetriedTwentyTimesOnSharingAndAccessErrors) {
    const std::uint64_t clock = host.clock().Now();
    const std::uint64_t moves = host.faults().Count("MoveFileExW");
    for (std::uint64_t i = 1; i <= 20; ++i) {
        host.faults().FailOn("MoveFileExW", moves + i, SysError::Win32(i % 2 == 1 ? 32 : 5));
    }
    ASSERT_TRUE(WriteJournal(platform(), record));
    EXPECT_EQ(host.faults().Count("MoveFileExW") - moves, 21u);
    EXPECT_EQ(host.clock().Now() - clock, 200u);  // twenty sleeps of 10 ms
    EXPECT_EQ(Contents(kJournal), EncodeJournal(record.data).value());
    EXPECT_FALSE(Exists(kTemporary));
}

TEST_F(JournalWrite, TwentyOneRefusedReplacesFailAndRemoveTheTemporaryFile) {
    const std::uint64_t clock = host.clock().Now();
    const std::uint64_t moves = host.faults().Count("MoveFileExW");
    FailNext("MoveFileExW", 32, 21);
    EXPECT_EQ(Failure(), std::string("MoveFileExW(") + kJournal + ") failed with Win32 error 32");
    EXPECT_EQ(host.faults().Count("MoveFileExW") - moves, 21u);
    EXPECT_EQ(host.clock().Now() - clock, 200u);
    ExpectPreviousKept();
}

TEST_F(JournalWrite, OtherReplaceErrorsFailAtOnce) {
    const std::uint64_t clock = host.clock().Now();
    FailNext("MoveFileExW", 3);
    EXPECT_EQ(Failure(), std::string("MoveFileExW(") + kJournal + ") failed with Win32 error 3");
    EXPECT_EQ(host.clock().Now(), clock);
    ExpectPreviousKept();
}

TEST_F(JournalWrite, JournalHeldOpenByAnotherProcessIsNotReplaced) {
    auto reader = host.files().OpenInOtherProcess(Wide(kJournal), platform::file_access::kGenericRead,
                                                  platform::file_share::kRead, 0);
    ASSERT_TRUE(reader);
    EXPECT_EQ(Failure(), std::string("MoveFileExW(") + kJournal + ") failed with Win32 error 32");
    reader->reset();
    ExpectPreviousKept();
    EXPECT_TRUE(WriteJournal(platform(), record));
}

TEST_F(JournalWrite, NothingIsTouchedWhileAnotherProcessHoldsTheMetadataLock) {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = winformat::well_known::Users();
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
        2, {winformat::Ace::Allowed(0x120000, winformat::well_known::AuthenticatedUsers()),
            winformat::Ace::Allowed(0x120000, winformat::well_known::LocalSystem()),
            winformat::Ace::Allowed(0x20000, winformat::well_known::OwnerRights())}));
    const auto planted = host.sync().PlantMutex(kMetadataLockName, descriptor.ToSelfRelative());
    planted->HoldByOtherProcess();
    const std::uint64_t opens = host.faults().Count("CreateFileW");
    EXPECT_EQ(Failure(), "another metadata mutation holds the global lock; timed out without changing permissions");
    EXPECT_EQ(host.faults().Count("CreateFileW"), opens);
    ExpectPreviousKept();
}

}  // namespace
}  // namespace telvo::windows

namespace telvo::windows {
namespace {

using platform::sim::SimHost;

constexpr char kMarker[] = "Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char16_t kMarkerWide[] = u"Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef";

class LiveMarker : public ::testing::Test {
protected:
    std::string CreateRefusal(std::string_view name = kMarker) {
        const std::size_t handles = host.handles().OpenCount();
        auto marker = CreateLiveMarker(host.platform(), name);
        EXPECT_FALSE(marker);
        EXPECT_EQ(host.handles().OpenCount(), handles);
        return marker ? std::string("created") : marker.error().Display();
    }
    std::string ProbeRefusal() {
        auto probe = ProbeLiveMarker(host.platform(), kMarker);
        EXPECT_FALSE(probe);
        return probe ? std::string("probed") : probe.error().Display();
    }
    void FailNext(const std::string& call, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, SysError::Win32(code));
    }
    SimHost host;
};

TEST_F(LiveMarker, OwnedByTheUserWhoAloneMaySynchronizeAndAliveWhileHeld) {
    const std::size_t handles = host.handles().OpenCount();
    {
        auto marker = CreateLiveMarker(host.platform(), kMarker);
        ASSERT_TRUE(marker) << marker.error().Display();
        const auto mutex = host.sync().FindMutex(kMarkerWide);
        ASSERT_TRUE(mutex);
        EXPECT_FALSE(mutex->IsOwned());
        auto security = winformat::SecurityDescriptor::ParseSelfRelative(mutex->security_descriptor);
        ASSERT_TRUE(security);
        EXPECT_EQ(security->owner, host.security().TokenUser());
        ASSERT_TRUE(security->dacl.acl());
        EXPECT_EQ(security->dacl.acl()->revision(), 2);
        EXPECT_EQ(security->dacl.acl()->aces(),
                  std::vector{winformat::Ace::Allowed(0x00100000, host.security().TokenUser())});
        EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::alive);
        EXPECT_EQ(host.handles().OpenCount(), handles + 1);  // the probe closed what it opened
    }
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::dead);
    EXPECT_EQ(host.handles().OpenCount(), handles);
}

TEST_F(LiveMarker, SecondMarkerOfTheSameNameIsRefused) {
    auto first = CreateLiveMarker(host.platform(), kMarker);
    ASSERT_TRUE(first);
    // The marker lets others in for SYNCHRONIZE only, and CreateMutexW asks
    // for all access: Windows refuses the second creation outright.
    EXPECT_EQ(CreateRefusal(), "CreateMutexW(live marker) failed with Win32 error 5");
    // A marker someone made with a DACL that lets the caller in is opened,
    // and then refused as a collision.
    const auto planted = host.sync().PlantMutex(u"Global\\Telvo.Sandbox.ffffffffffffffffffffffffffffffff", {});
    EXPECT_EQ(CreateRefusal("Global\\Telvo.Sandbox.ffffffffffffffffffffffffffffffff"),
              "live-marker identity collision; refusing an existing mutex");
}

TEST_F(LiveMarker, NameMustBeGlobalAndNameAProfile) {
    EXPECT_EQ(CreateRefusal("Local\\Telvo.Sandbox.0123456789abcdef0123456789abcdef"),
              "live marker must use the global namespace");
    EXPECT_EQ(CreateRefusal("Telvo.Sandbox.0123456789abcdef0123456789abcdef"),
              "live marker must use the global namespace");
    EXPECT_EQ(CreateRefusal("Global\\Telvo.Sandbox.0123"), "invalid Telvo AppContainer profile name");
    EXPECT_EQ(host.faults().Count("OpenProcessToken"), 0u);
}

TEST_F(LiveMarker, TokenAndCreationFailuresAreNamed) {
    FailNext("OpenProcessToken", 5);
    EXPECT_EQ(CreateRefusal(), "OpenProcessToken(live marker) failed with Win32 error 5");
    FailNext("GetTokenInformation", 87);
    EXPECT_EQ(CreateRefusal(), "invalid live-marker account SID query (Win32 error 87)");
    host.faults().FailOn("GetTokenInformation", host.faults().Count("GetTokenInformation") + 2, SysError::Win32(8));
    EXPECT_EQ(CreateRefusal(), "GetTokenInformation(live-marker account) failed with Win32 error 8");
    FailNext("CreateMutexW", 1450);
    EXPECT_EQ(CreateRefusal(), "CreateMutexW(live marker) failed with Win32 error 1450");
    EXPECT_FALSE(host.sync().FindMutex(kMarkerWide));
}

TEST_F(LiveMarker, ProbeErrorsRetainTheJournal) {
    FailNext("OpenMutexW", 1450);
    EXPECT_EQ(ProbeRefusal(), "could not establish sandbox liveness (Win32 error 1450); recovery journal retained");
    // A marker that opens but cannot be read proves nothing either way.
    auto marker = CreateLiveMarker(host.platform(), kMarker);
    ASSERT_TRUE(marker);
    FailNext("GetKernelObjectSecurity", 5);
    EXPECT_EQ(ProbeRefusal(), "invalid live-marker descriptor size");
    host.faults().FailOn("GetKernelObjectSecurity", host.faults().Count("GetKernelObjectSecurity") + 2,
                         SysError::Win32(1450));
    EXPECT_EQ(ProbeRefusal(), "GetKernelObjectSecurity(live marker) failed with Win32 error 1450");
}

// What someone else, or the user's own tools, may leave at the name once the
// run has ended: none of it is the run's marker, so the run is dead. The
// probe opens for SYNCHRONIZE | READ_CONTROL, which the run's own marker
// grants its user; without READ_CONTROL it could not tell them apart.
TEST_F(LiveMarker, AnythingAtTheNameButTheRunsOwnMarkerIsADeadRun) {
    namespace wk = winformat::well_known;
    const winformat::Sid user = host.security().TokenUser();
    const winformat::Sid other = winformat::Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1002});
    const auto descriptor = [](const winformat::Sid& owner, std::vector<winformat::Ace> aces) {
        winformat::SecurityDescriptor made;
        made.owner = owner;
        made.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, std::move(aces)).value());
        return made.ToSelfRelative();
    };
    const struct {
        const char* what;
        std::vector<std::uint8_t> descriptor;
    } squats[] = {
        {"another user's, refusing the user", descriptor(other, {winformat::Ace::Allowed(0x001F0001, other)})},
        {"another user's, anyone may wait", descriptor(other, {winformat::Ace::Allowed(0x00100000, wk::World())})},
        {"another user's, anyone may wait and read",
         descriptor(other, {winformat::Ace::Allowed(0x00120000, wk::World())})},
        {"another user's with the marker's DACL", descriptor(other, {winformat::Ace::Allowed(0x00100000, user)})},
        {"the user's, another DACL", descriptor(user, {winformat::Ace::Allowed(0x001F0001, user)})},
        {"the user's, the marker's entry and one more",
         descriptor(user, {winformat::Ace::Allowed(0x00100000, user), winformat::Ace::Allowed(0x00100000, wk::World())})},
    };
    const std::size_t handles = host.handles().OpenCount();
    for (const auto& squat : squats) {
        const auto planted = host.sync().PlantMutex(kMarkerWide, squat.descriptor);
        auto probe = ProbeLiveMarker(host.platform(), kMarker);
        ASSERT_TRUE(probe) << squat.what << ": " << probe.error().Display();
        EXPECT_EQ(*probe, Liveness::dead) << squat.what;
        EXPECT_EQ(host.handles().OpenCount(), handles) << squat.what;
    }
    // The very marker the helper makes, planted by anyone: alive.
    const auto exact = host.sync().PlantMutex(kMarkerWide, descriptor(user, {winformat::Ace::Allowed(0x00100000, user)}));
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::alive);
    // A name held by an object of another type.
    FailNext("OpenMutexW", 6);
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::dead);
    host.faults().Watch("OpenMutexW");
    (void)ProbeLiveMarker(host.platform(), kMarker);
    EXPECT_EQ(host.faults().Log().back().arguments, std::vector<std::uint64_t>{0x00120000});
}

// An elevated administrator's objects take Administrators as their owner
// unless they name one: the marker names the user.
TEST_F(LiveMarker, AnElevatedAdministratorsMarkerIsOwnedByTheUser) {
    const winformat::Sid user = host.security().TokenUser();
    host.security().SetProcessToken(platform::sim::SimToken::InteractiveUser(user, true, true));
    auto marker = CreateLiveMarker(host.platform(), kMarker);
    ASSERT_TRUE(marker) << marker.error().Display();
    auto security = winformat::SecurityDescriptor::ParseSelfRelative(host.sync().FindMutex(kMarkerWide)->security_descriptor);
    ASSERT_TRUE(security);
    EXPECT_EQ(security->owner, user);
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::alive);
    // The same user unelevated sees it alive too.
    host.security().SetProcessToken(platform::sim::SimToken::InteractiveUser(user, true, false));
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::alive);
}

// OpenMutexW reporting success without a usable handle.
class NullHandleSync final : public platform::Sync {
public:
    explicit NullHandleSync(platform::Sync& inner) : inner_(inner) {}
    SysResult<platform::CreatedObject> CreateMutexExW(std::span<const std::uint8_t> d, bool i, const std::u16string& n,
                                                      std::uint32_t f, std::uint32_t a) override {
        return inner_.CreateMutexExW(d, i, n, f, a);
    }
    SysResult<platform::CreatedObject> CreateMutexW(std::span<const std::uint8_t> d, bool i, bool o,
                                                    const std::u16string& n) override {
        return inner_.CreateMutexW(d, i, o, n);
    }
    SysResult<platform::Handle> OpenMutexW(std::uint32_t, bool, const std::u16string&) override {
        return platform::kNullHandle;
    }
    SysResult<void> ReleaseMutex(platform::Handle h) override { return inner_.ReleaseMutex(h); }

private:
    platform::Sync& inner_;
};

TEST_F(LiveMarker, ProbeThatGetsNoHandleFails) {
    NullHandleSync sync(host.platform().sync);
    platform::Platform faulty = telvo::testing::PlatformWith(host.platform(), {.sync = &sync});
    auto probe = ProbeLiveMarker(faulty, kMarker);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error().Display(), "OpenMutexW(live marker) failed with Win32 error 6");
}

}  // namespace
}  // namespace telvo::windows
