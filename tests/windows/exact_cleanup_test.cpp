#include "windows/exact_cleanup.h"

#include <gtest/gtest.h>

#include <atomic>

#include "dacl_fixture.h"
#include "identity/capability_set.h"
#include "windows/authority_access.h"
#include "windows/journal.h"
#include "windows/metadata_access.h"
#include "winutil/recorded_path.h"
#include "winformat/text.h"
#include "winutil/walk_tree.h"
#include "support/local_path_of.h"

namespace telvo::windows {
namespace {

using namespace testing;

// A run's host state: a profile, grants on the writable authority M\W (private
// path M\W\secret) and the read-only authority M\R, a metadata-read entry on
// their ancestor M, and directories the run created in M\W.
class ExactCleanupTest : public DaclTest {
public:
    ExactCleanupTest() {
        for (const char* dir : {"M", "M\\W", "M\\W\\secret", "M\\W\\src", "M\\R", "M\\R\\docs", "M\\W\\out",
                                "M\\W\\out\\sub"}) {
            Dir(std::string(kC) + dir);
        }
        File(std::string(kC) + "M\\W\\src\\main.c");
        File(std::string(kC) + "M\\R\\docs\\readme");
        auto& appcontainer = host.platform().appcontainer;
        EXPECT_TRUE(identity::CreateProfile(appcontainer, kProfileName,
                                            identity::CapabilitySet::Resolve(appcontainer).value()));
        for (const auto& authority : authorities) EXPECT_TRUE(Walk(authority, true, &ExactCleanupTest::Grant));
        EXPECT_TRUE(SetMetadataReadAce(platform(), Open(kMeta).get(), sid, true).value());

        plan.profile_name = kProfileName;
        for (const auto& authority : authorities) plan.authorities.push_back(Record(authority.root.text()));
        plan.metadata_paths.push_back(Record(kMeta));
        plan.created_paths = {Record(std::string(kC) + "M\\W\\out"), Record(std::string(kC) + "M\\W\\out\\sub")};
    }

    winutil::RecordedPath Record(const std::string& path) {
        return winutil::CaptureRecordedPath(platform(), path).value();
    }
    using Visit = Result<void> (ExactCleanupTest::*)(const AuthorityAccess&, const std::u16string&, platform::Handle);
    Result<void> Walk(const AuthorityAccess& authority, bool write_dac, Visit visit) {
        return winutil::WalkTree(platform(), authority.root.text(), write_dac, cancel, winutil::WalkPolicy::prove,
                                 [&](const std::u16string& path, platform::Handle handle) {
                                     return (this->*visit)(authority, path, handle);
                                 });
    }
    Result<void> Grant(const AuthorityAccess& authority, const std::u16string& path, platform::Handle handle) {
        return GrantAuthorityAccess(platform(), path, handle, authority, sid);
    }
    Result<void> Absent(const AuthorityAccess&, const std::u16string& path, platform::Handle handle) {
        return AbsentObject(path, handle);
    }
    bool NothingNamesTheSid() {
        bool clean = true;
        for (const auto& authority : authorities) clean = clean && Walk(authority, false, &ExactCleanupTest::Absent);
        for (const Ace& ace : AcesOf(kMeta)) clean = clean && !(ace.sid() != nullptr && *ace.sid() == sid);
        return clean;
    }
    bool ProfileExists() { return host.appcontainer().FindProfile(u"Telvo.Sandbox.00112233445566778899aabbccddeeff"); }

    static constexpr char kC[] = "\\\\?\\C:\\";
    static constexpr char kMeta[] = "\\\\?\\C:\\M";
    const std::vector<AuthorityAccess> authorities{
        {telvo::testing::PathOf("\\\\?\\C:\\M\\W"), true, {telvo::testing::PathOf("\\\\?\\C:\\M\\W\\secret")}},
        {telvo::testing::PathOf("\\\\?\\C:\\M\\R"), false, {}},
    };
    CleanupPlan plan;
    std::atomic<bool> cancel{false};
};

TEST_F(ExactCleanupTest, RemovesEveryEntryAndThenTheProfile) {
    ASSERT_FALSE(NothingNamesTheSid());
    ASSERT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "(succeeded)");
    EXPECT_TRUE(NothingNamesTheSid());
    EXPECT_FALSE(ProfileExists());
    EXPECT_FALSE(files().Lookup(u"\\\\?\\C:\\M\\W\\out"));
    EXPECT_TRUE(files().Lookup(u"\\\\?\\C:\\M\\W\\src"));
    // A second cleanup finds nothing to write and a profile already gone.
    const std::uint64_t writes = Count("NtSetSecurityObject");
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "(succeeded)");
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
}

// The end of a run as the journal drives it: the cleanup of what the journal
// names, then the journal itself goes; a failed cleanup keeps it.
TEST_F(ExactCleanupTest, FinishingTheJournalUndoesWhatItNames) {
    Dir(std::string(kC) + "state");
    auto record = CreateJournal(platform(), std::string(kC) + "state", kProfileName,
                                std::string("Global\\") + kProfileName, {authorities[0].root.text(), authorities[1].root.text()});
    ASSERT_TRUE(record) << record.error().Display();
    record->data.metadata_paths = plan.metadata_paths;
    record->data.created_paths = plan.created_paths;
    ASSERT_TRUE(WriteJournal(platform(), *record));
    const JournalCleanup cleanup = [&](const JournalData& data) { return ExactCleanup(platform(), data, record->path); };

    FailNextNt("NtSetSecurityObject", 0xC0000022);
    ASSERT_FALSE(FinishJournal(platform(), *record, cleanup));
    EXPECT_TRUE(files().Lookup(Wide(record->path)));
    EXPECT_TRUE(ProfileExists());

    ASSERT_EQ(ErrorOf(FinishJournal(platform(), *record, cleanup)), "(succeeded)");
    EXPECT_FALSE(files().Lookup(Wide(record->path)));
    EXPECT_TRUE(NothingNamesTheSid());
    EXPECT_FALSE(ProfileExists());
}

TEST_F(ExactCleanupTest, GoesOnAfterAFailureAndKeepsTheProfileWhileAGrantRemains) {
    // The first write of the revoke pass (the root of M\W) fails.
    FailNextNt("NtSetSecurityObject", 0xC0000022);
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "revoke authority \\\\?\\C:\\M\\W: revoke \\\\?\\C:\\M\\W: NtSetSecurityObject failed with NTSTATUS "
              "0xc0000022");
    EXPECT_TRUE(Walk(authorities[1], false, &ExactCleanupTest::Absent));
    EXPECT_EQ(ErrorOf(AbsentObject(Wide(kMeta), Open(kMeta, false).get())), "(succeeded)");
    EXPECT_FALSE(NothingNamesTheSid());
    EXPECT_TRUE(ProfileExists());

    // Run again (as recovery would): it completes.
    ASSERT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "(succeeded)");
    EXPECT_TRUE(NothingNamesTheSid());
    EXPECT_FALSE(ProfileExists());
}

TEST_F(ExactCleanupTest, ReportsEveryFailure) {
    host.faults().FailAlways("NtSetSecurityObject", SysError::NtStatus(0xC0000022));
    const std::string denied = "NtSetSecurityObject failed with NTSTATUS 0xc0000022";
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "revoke authority \\\\?\\C:\\M\\W: revoke \\\\?\\C:\\M\\W: " + denied +
                  "; revoke authority \\\\?\\C:\\M\\R: revoke \\\\?\\C:\\M\\R: " + denied +
                  "; revoke exact metadata ancestor \\\\?\\C:\\M: " + denied);
    EXPECT_TRUE(ProfileExists());
}

TEST_F(ExactCleanupTest, ChangesNothingWhenARecordedObjectWasReplaced) {
    const std::uint64_t writes = Count("NtSetSecurityObject");
    Rename("\\\\?\\C:\\M\\R", "\\\\?\\C:\\M\\R-old");
    Dir("\\\\?\\C:\\M\\R");
    plan.journal_path = "\\\\?\\C:\\state\\j.json";
    const std::string kept = "; the recovery journal \\\\?\\C:\\state\\j.json is kept, and every run of this user "
                             "stops at it, until the path names its recorded object again or the journal is removed";
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "recovery path identity changed: \\\\?\\C:\\M\\R" + kept);
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);

    Rename("\\\\?\\C:\\M\\R", "\\\\?\\C:\\M\\R-new");
    Rename("\\\\?\\C:\\M\\R-old", "\\\\?\\C:\\M\\R");
    plan.metadata_paths[0].identity.file_index += 1;
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "metadata recovery path identity changed: \\\\?\\C:\\M" + kept);
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
    EXPECT_TRUE(ProfileExists());
}

TEST_F(ExactCleanupTest, LeavesCreatedDirectoriesThatAreNotEmptyInUseReplacedOrGone) {
    const std::u16string out = u"\\\\?\\C:\\M\\W\\out";
    // Through the journal's record, as FinishJournal runs it.
    JournalData journal;
    journal.profile_name = plan.profile_name;
    journal.authorities = plan.authorities;
    journal.metadata_paths = plan.metadata_paths;
    journal.created_paths = plan.created_paths;

    File("\\\\?\\C:\\M\\W\\out\\kept");
    ASSERT_EQ(ErrorOf(ExactCleanup(platform(), journal, "j.json")), "(succeeded)");
    EXPECT_FALSE(files().Lookup(out + u"\\sub"));
    EXPECT_TRUE(files().Lookup(out));

    ASSERT_TRUE(files().Remove(out + u"\\kept"));
    auto in_use = files().OpenInOtherProcess(out, platform::file_access::kListDirectory, 0x3,
                                                   platform::file_flag::kBackupSemantics);
    ASSERT_TRUE(in_use);
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), journal, "j.json")), "(succeeded)");
    EXPECT_TRUE(files().Lookup(out));
    in_use->reset();

    Rename("\\\\?\\C:\\M\\W\\out", "\\\\?\\C:\\M\\W\\moved");
    Dir("\\\\?\\C:\\M\\W\\out");
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), journal, "j.json")), "(succeeded)");
    EXPECT_TRUE(files().Lookup(out));
    EXPECT_TRUE(files().Lookup(u"\\\\?\\C:\\M\\W\\moved"));
}

// A handle that shares delete does not keep a created directory: its delete
// disposition is set, and it goes when the holder closes; its parent, not
// empty until then, stays.
TEST_F(ExactCleanupTest, ACreatedDirectoryHeldSharingDeleteGoesWhenItsHolderCloses) {
    const std::u16string sub = u"\\\\?\\C:\\M\\W\\out\\sub";
    auto held = files().OpenInOtherProcess(sub, platform::file_access::kListDirectory, 0x7,
                                           platform::file_flag::kBackupSemantics);
    ASSERT_TRUE(held);
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "(succeeded)");
    EXPECT_TRUE(files().Lookup(sub));
    held->reset();
    EXPECT_FALSE(files().Lookup(sub));
    EXPECT_TRUE(files().Lookup(u"\\\\?\\C:\\M\\W\\out"));
}

TEST_F(ExactCleanupTest, ReportsCreatedDirectoriesItCouldNotRemoveOrInspect) {
    host.faults().FailOn("SetFileDispositionInfo", 1, SysError::Win32(5));
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "remove \\\\?\\C:\\M\\W\\out\\sub: SetFileInformationByHandle(FileDispositionInfo) failed with "
              "Win32 error 5");
    EXPECT_FALSE(ProfileExists());

    // A junction in place of a created directory: the cleanup walk clears it
    // without following it, and the removal refuses it.
    ASSERT_TRUE(files().Remove(u"\\\\?\\C:\\M\\W\\out\\sub"));
    Junction("\\\\?\\C:\\M\\W\\out\\sub", "\\\\?\\C:\\M\\R");
    const std::string refused =
        "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\M\\W\\out\\sub";
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "inspect \\\\?\\C:\\M\\W\\out\\sub: " + refused);
}

TEST_F(ExactCleanupTest, AFailedProfileDeletionEndsTheCleanup) {
    host.faults().FailOn("DeleteAppContainerProfile", 1, SysError::HResult(0x80070005));
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "delete profile: DeleteAppContainerProfile failed with HRESULT 0x80070005");
    EXPECT_TRUE(NothingNamesTheSid());
    EXPECT_TRUE(ProfileExists());
    EXPECT_TRUE(files().Lookup(u"\\\\?\\C:\\M\\W\\out\\sub"));
}

// An entry left behind by a revoke whose write did not stick (or that another
// writer put back) is found by the proof that follows, and the profile stays.
TEST_F(ExactCleanupTest, TheProofFindsWhatARevokeLeftBehind) {
    const std::string readme = std::string(kC) + "M\\R\\docs\\readme";
    ReplaceAfterWrite(readme, "NtSetSecurityObject", "NtQuerySecurityObject", {Ace::Allowed(0x1200A9, sid, 0x3)});
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "verify AppContainer ACE removal under \\\\?\\C:\\M\\R: AppContainer SID ACE remains after cleanup on " +
                  readme);
    EXPECT_TRUE(ProfileExists());
    EXPECT_FALSE(files().Lookup(u"\\\\?\\C:\\M\\W\\out"));  // created paths go all the same
}

TEST_F(ExactCleanupTest, TheMetadataAncestorIsReadAgainAfterItsRevoke) {
    ReplaceAfterWrite(kMeta, "NtSetSecurityObject", "NtQuerySecurityObject", {Ace::Allowed(0x120088, sid)});
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "revoke exact metadata ancestor \\\\?\\C:\\M: AppContainer SID ACE remains after exact-object cleanup");
    EXPECT_TRUE(ProfileExists());
}

// What the sandboxed command can make in a writable authority after the grant,
// named to sort first in M\W, so that a walk stopping at it would leave the
// entries of everything after it. Each such object inherited the SID's
// entries when it was made (a second hard link shares the granted file's).
class OddObjectCleanupTest : public ExactCleanupTest {
protected:
    // The prove walk over M\W, visiting nothing.
    std::string ProveWalk() {
        return ErrorOf(winutil::WalkTree(platform(), authorities[0].root.text(), false, cancel, winutil::WalkPolicy::prove,
                                         [](const std::u16string&, platform::Handle) { return Result<void>{}; }));
    }
    bool NamesSid(const std::u16string& path) {
        const auto bytes = files().SecurityDescriptorOf(path);
        EXPECT_TRUE(bytes) << winformat::Utf16ToDisplay(path);
        if (!bytes) return true;
        const auto descriptor = SecurityDescriptor::ParseSelfRelative(*bytes).value();
        for (const Ace& ace : descriptor.dacl.acl()->aces()) {
            if (ace.sid() != nullptr && *ace.sid() == sid) return true;
        }
        return false;
    }
    // The cleanup succeeds and leaves no entry for the SID on any object,
    // the odd ones included.
    void ExpectEverythingCleared(const std::vector<std::u16string>& odd) {
        std::vector<std::u16string> objects = odd;
        for (const char* path : {"M", "M\\W", "M\\W\\secret", "M\\W\\src", "M\\W\\src\\main.c", "M\\R",
                                 "M\\R\\docs", "M\\R\\docs\\readme"}) {
            objects.push_back(Wide(std::string(kC) + path));
        }
        ASSERT_TRUE(NamesSid(odd.front()));
        ASSERT_EQ(ErrorOf(ExactCleanup(platform(), plan)), "(succeeded)");
        for (const auto& object : objects) EXPECT_FALSE(NamesSid(object)) << winformat::Utf16ToDisplay(object);
        EXPECT_FALSE(ProfileExists());
    }
};

TEST_F(OddObjectCleanupTest, JunctionsAndSymbolicLinksAreClearedNotFollowed) {
    // Outside every authority, with an entry the cleanup must not reach through the links.
    Dir("\\\\?\\C:\\Elsewhere");
    PlantDacl("\\\\?\\C:\\Elsewhere", {Ace::Allowed(0x1200A9, sid)});
    Junction("\\\\?\\C:\\M\\W\\a-junction", "\\\\?\\C:\\Elsewhere");
    ASSERT_TRUE(files().MakeSymlink(u"\\\\?\\C:\\M\\W\\a-symlink", u"\\\\?\\C:\\Elsewhere", false));
    const std::u16string junction = u"\\\\?\\C:\\M\\W\\a-junction";
    const std::u16string symlink = u"\\\\?\\C:\\M\\W\\a-symlink";
    ASSERT_TRUE(NamesSid(junction));
    // The walks of the grant and of the verification still refuse them.
    EXPECT_EQ(ProveWalk(),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\M\\W\\a-junction");

    ExpectEverythingCleared({junction, symlink});
    EXPECT_TRUE(NamesSid(u"\\\\?\\C:\\Elsewhere"));
}

TEST_F(OddObjectCleanupTest, ASecondHardLinkIsCleared) {
    HardLink("\\\\?\\C:\\M\\W\\src\\main.c", "\\\\?\\C:\\M\\W\\a-link");
    EXPECT_EQ(ProveWalk(),
              "hard-linked objects are not accepted in a Windows sandbox authority: \\\\?\\C:\\M\\W\\a-link");
    ExpectEverythingCleared({u"\\\\?\\C:\\M\\W\\a-link"});
}

TEST_F(OddObjectCleanupTest, NamesThatAreNotValidUtf16AreClearedAndShownEscaped) {
    const std::u16string odd = u"\\\\?\\C:\\M\\W\\a" + std::u16string(1, char16_t{0xD800});
    ASSERT_TRUE(files().MakeDirectory(odd));
    ASSERT_TRUE(files().MakeFile(odd + u"\\f"));
    // A failure names the object with the unpaired unit escaped.
    host.faults().FailOn("NtSetSecurityObject", Count("NtSetSecurityObject") + 2, SysError::NtStatus(0xC0000022));
    EXPECT_EQ(ErrorOf(ExactCleanup(platform(), plan)),
              "revoke authority \\\\?\\C:\\M\\W: revoke \\\\?\\C:\\M\\W\\a<U+D800>: NtSetSecurityObject failed with "
              "NTSTATUS 0xc0000022");
    ExpectEverythingCleared({odd, odd + u"\\f"});
}


// An object the command made that names the SID but refuses this user
// WRITE_DAC (an OWNER RIGHTS entry takes the owner's implicit right away):
// read, left as it is, and counted; everything else is cleared.
TEST_F(OddObjectCleanupTest, AnObjectThatRefusesWriteDacIsLeftAndCounted) {
    const std::string made = std::string(kC) + "M\\W\\a-made";
    File(made);
    PlantDacl(made, {Ace::Allowed(grant_mask::kWritable, sid), Ace::Allowed(0x1200A9, host.security().TokenUser()),
                     Ace::Allowed(0x20000, winformat::well_known::OwnerRights())});
    const auto report = ExactCleanup(platform(), plan);
    ASSERT_TRUE(report) << report.error().Display();
    EXPECT_EQ(report->unchangeable, 1u);
    EXPECT_TRUE(NamesSid(Wide(made)));
    EXPECT_FALSE(NamesSid(u"\\\\?\\C:\\M\\W\\src\\main.c"));
    EXPECT_FALSE(ProfileExists());
}

}  // namespace
}  // namespace telvo::windows
