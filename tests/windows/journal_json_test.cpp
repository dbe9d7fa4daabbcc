#include <gtest/gtest.h>

#include "windows/journal_fixture.h"
#include "windows/journal_json.h"

namespace telvo::windows {
namespace {

using testing::Recorded;
using testing::ValidJournal;

constexpr char kHead[] = R"({"journalVersion":5,"profileName":"Telvo.Sandbox.0123456789abcdef0123456789abcdef",)"
                         R"("mutexName":"Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef",)";
constexpr char kAuthorities[] =
    R"("authorities":[{"path":"\\\\?\\C:\\work\\repo","identity":{"volumeSerial":744364551,"fileIndex":281474976710722}}],)";

std::string Journal(std::string_view rest) { return std::string(kHead) + kAuthorities + std::string(rest); }

std::string DecodeError(std::string_view text) {
    auto decoded = DecodeJournal(text);
    EXPECT_FALSE(decoded);
    return decoded ? std::string("decoded") : decoded.error().Display();
}

TEST(JournalJson, WritesCompactMembersInTheirOrder) {
    JournalData data = ValidJournal();
    data.touched_paths = {Recorded("\\\\?\\C:\\work\\repo\\a", 7)};
    data.broker_required = true;
    EXPECT_EQ(EncodeJournal(data).value(),
              Journal(R"("touchedPaths":[{"path":"\\\\?\\C:\\work\\repo\\a","identity":{"volumeSerial":744364551,)"
                      R"("fileIndex":7}}],"createdPaths":[],"metadataPaths":[],"brokerRequired":true})"));
}

TEST(JournalJson, ReadsWhatItWritesAndDefaultsTheOptionalMembers) {
    JournalData data = ValidJournal();
    data.created_paths = {Recorded("\\\\?\\C:\\work\\repo\\new", 9), Recorded("\\\\?\\C:\\work\\repo\\new\\x", 10)};
    data.metadata_paths = {Recorded("\\\\?\\C:\\work", 0xFFFFFFFFFFFFFFFF)};
    data.authorities[0].identity.volume_serial = 0xFFFFFFFF;
    EXPECT_EQ(DecodeJournal(EncodeJournal(data).value()).value(), data);

    auto minimal = DecodeJournal(" " + Journal(R"("touchedPaths":[],"createdPaths":[]})") + "\r\n");
    ASSERT_TRUE(minimal) << minimal.error().Display();
    EXPECT_EQ(*minimal, ValidJournal());
}

TEST(JournalJson, UnknownMembersAreRefusedButSkippedInsideAnIdentity) {
    EXPECT_TRUE(DecodeError(Journal(R"("touchedPaths":[],"createdPaths":[],"extra":1})"))
                    .starts_with("unknown field `extra` at line 1, column"));
    EXPECT_TRUE(DecodeError(Journal(R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":1,"fileIndex":2},)"
                                    R"("kind":"dir"}],"createdPaths":[]})"))
                    .starts_with("unknown field `kind`"));
    auto skipped = DecodeJournal(Journal(
        R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":1,"fileIndex":2,"fileId128":[1,2]}}],)"
        R"("createdPaths":[]})"));
    ASSERT_TRUE(skipped) << skipped.error().Display();
    const winutil::RecordedPath expected{"C:\\x", {1, 2}};
    EXPECT_EQ(skipped->touched_paths, (std::vector{expected}));
}

TEST(JournalJson, MissingAndRepeatedMembersAreNamedWithTheirPosition) {
    EXPECT_EQ(DecodeError(R"({"journalVersion":5,"profileName":"p","authorities":[]})"),
              "missing field `mutexName` at line 1, column 55");
    EXPECT_TRUE(DecodeError(Journal(R"("createdPaths":[]})")).starts_with("missing field `touchedPaths`"));
    EXPECT_TRUE(DecodeError(Journal(R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":1}}],)"
                                    R"("createdPaths":[]})"))
                    .starts_with("missing field `fileIndex`"));
    EXPECT_TRUE(DecodeError(Journal(R"("touchedPaths":[],"createdPaths":[],"profileName":"x"})"))
                    .starts_with("duplicate field `profileName` at line 1"));
    EXPECT_TRUE(DecodeError(Journal(R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":1,"fileIndex":2,)"
                                    R"("fileIndex":3}}],"createdPaths":[]})"))
                    .starts_with("duplicate field `fileIndex`"));
}

TEST(JournalJson, ValuesMustHaveTheirTypesAndRanges) {
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":[],"createdPaths":[],"brokerRequired":1})")));
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":[],"createdPaths":[],"metadataPaths":null})")));
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":{},"createdPaths":[]})")));
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":4294967296,)"
                                       R"("fileIndex":2}}],"createdPaths":[]})")));
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":[{"path":"C:\\x","identity":{"volumeSerial":1,)"
                                       R"("fileIndex":-2}}],"createdPaths":[]})")));
    EXPECT_FALSE(DecodeJournal(Journal(R"("touchedPaths":[],"createdPaths":[]}{})")));
    EXPECT_FALSE(DecodeJournal("[]"));
    // Any version is read; ValidateJournal judges it.
    std::string future = Journal(R"("touchedPaths":[],"createdPaths":[]})");
    future.replace(future.find(":5,"), 3, ":4294967295,");
    EXPECT_EQ(DecodeJournal(future).value().journal_version, 4294967295u);
}

TEST(JournalJson, PathThatIsNotUnicodeCannotBeWritten) {
    JournalData data = ValidJournal();
    data.touched_paths = {Recorded("C:\\work\\repo\\\xff")};
    EXPECT_FALSE(EncodeJournal(data));
}

}  // namespace
}  // namespace telvo::windows
