#include <gtest/gtest.h>

#include "windows/journal.h"
#include "windows/journal_fixture.h"
#include "windows/journal_json.h"

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
