#include <gtest/gtest.h>

#include "windows/journal_fixture.h"
#include "windows/journal_json.h"
#include "windows/journal.h"
#include "windows/metadata_lock.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"

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
