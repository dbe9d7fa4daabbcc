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

namespace telvo::windows {
namespace {

using testing::kAuthority;
using testing::Recorded;
using testing::ValidJournal;

constexpr char kLegacy[] =
    "legacy session-local recovery journal retained: another Windows session may still own this run; automatic "
    "recovery cannot establish its liveness";
constexpr char kNotAncestor[] =
    "metadata journal path must be a proper ancestor outside all authorities and fixed host targets: ";

class JournalValidation : public ::testing::Test {
protected:
    std::string Refusal(const JournalData& data) {
        auto validated = ValidateJournal(host.platform().system, data);
        EXPECT_FALSE(validated);
        return validated ? std::string("valid") : validated.error().Display();
    }
    bool Valid(const JournalData& data) {
        auto validated = ValidateJournal(host.platform().system, data);
        EXPECT_TRUE(validated) << validated.error().Display();
        return validated.has_value();
    }
    static JournalData WithMetadata(std::string path, std::uint64_t index = 5) {
        JournalData data = ValidJournal();
        data.metadata_paths = {Recorded(std::move(path), index)};
        return data;
    }
    platform::sim::SimHost host;
};

TEST_F(JournalValidation, VersionRules) {
    JournalData data = ValidJournal();
    EXPECT_TRUE(Valid(data));
    data.broker_required = true;
    EXPECT_TRUE(Valid(data));

    for (std::uint32_t version : {0u, 1u, 2u, 6u, 0xFFFFFFFFu}) {
        JournalData other = ValidJournal();
        other.journal_version = version;
        EXPECT_EQ(Refusal(other), "unsupported recovery journal version") << version;
    }
    JournalData v3 = ValidJournal();
    v3.journal_version = 3;
    EXPECT_TRUE(Valid(v3));
    v3.broker_required = true;
    EXPECT_EQ(Refusal(v3), "unsupported recovery journal version");
    JournalData v3_metadata = WithMetadata("\\\\?\\C:\\work");
    v3_metadata.journal_version = 3;
    EXPECT_EQ(Refusal(v3_metadata), "unsupported recovery journal version");

    JournalData v4 = WithMetadata("\\\\?\\C:\\work");
    v4.journal_version = 4;
    EXPECT_TRUE(Valid(v4));
    v4.broker_required = true;
    EXPECT_EQ(Refusal(v4), "unsupported recovery journal version");
}

TEST_F(JournalValidation, LegacySessionLocalJournalIsRetainedWithItsOwnMessage) {
    JournalData legacy = ValidJournal();
    legacy.journal_version = 2;
    legacy.mutex_name = std::string("Local\\") + testing::kProfile;
    EXPECT_EQ(Refusal(legacy), kLegacy);
    // A local marker is only legacy in a version-2 journal.
    legacy.journal_version = 5;
    EXPECT_EQ(Refusal(legacy), "recovery journal mutex does not match its profile");
}

TEST_F(JournalValidation, NamesMustMatchTheProfile) {
    JournalData data = ValidJournal();
    data.profile_name = "Telvo.Sandbox.0123456789abcdef0123456789abcdeg";
    EXPECT_EQ(Refusal(data), "invalid Telvo AppContainer profile name");
    data = ValidJournal();
    data.mutex_name = "Global\\Telvo.Sandbox.0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ(Refusal(data), "recovery journal mutex does not match its profile");
    data.mutex_name = testing::kProfile;
    EXPECT_EQ(Refusal(data), "recovery journal mutex does not match its profile");
}

TEST_F(JournalValidation, AuthoritiesMustBeWellFormed) {
    JournalData data = ValidJournal();
    data.authorities.clear();
    EXPECT_EQ(Refusal(data), "recovery journal contains no authorities");
    for (const auto& bad : {Recorded(kAuthority, 0), Recorded("work\\repo"), Recorded("C:\\work\\..\\repo"),
                            Recorded("\\\\server\\share\\repo")}) {
        data.authorities = {Recorded("C:\\other"), bad};
        EXPECT_EQ(Refusal(data), "recovery journal contains an invalid authority") << bad.path;
    }
}

TEST_F(JournalValidation, MutatedPathsMustLieInsideAnAuthority) {
    JournalData data = ValidJournal();
    data.authorities.push_back(Recorded("D:\\data"));
    data.touched_paths = {Recorded("\\\\?\\C:\\work\\repo\\src"), Recorded("d:\\DATA\\x"), Recorded(kAuthority)};
    data.created_paths = {Recorded("C:\\work\\repo\\new")};  // the plain spelling of a path below the authority
    EXPECT_TRUE(Valid(data));

    JournalData touched = ValidJournal();
    touched.touched_paths = {Recorded("\\\\?\\C:\\work\\repository")};
    EXPECT_EQ(Refusal(touched), "recovery journal path is outside every recorded authority: \\\\?\\C:\\work\\repository");
    JournalData created = ValidJournal();
    created.created_paths = {Recorded("\\\\?\\C:\\work")};
    EXPECT_EQ(Refusal(created), "recovery journal path is outside every recorded authority: \\\\?\\C:\\work");
    created.created_paths = {Recorded("\\\\?\\C:\\work\\repo\\x", 0)};
    EXPECT_EQ(Refusal(created), "recovery journal contains an invalid mutated path");
    // Touched paths are checked before created ones.
    created.touched_paths = {Recorded("\\\\?\\D:\\elsewhere")};
    EXPECT_EQ(Refusal(created), "recovery journal path is outside every recorded authority: \\\\?\\D:\\elsewhere");
}

TEST_F(JournalValidation, MetadataPathsMustBeProperAncestorsOutsideEveryAuthorityAndFixedTarget) {
    EXPECT_TRUE(Valid(WithMetadata("\\\\?\\C:\\work")));
    EXPECT_TRUE(Valid(WithMetadata("c:\\WORK")));
    for (const char* refused : {"\\\\?\\C:\\", "C:\\", "\\\\?\\C:\\work\\repo", "\\\\?\\C:\\work\\repo\\src",
                                "\\\\?\\C:\\elsewhere", "\\\\?\\D:\\work"}) {
        EXPECT_EQ(Refusal(WithMetadata(refused)), kNotAncestor + std::string(refused));
    }
    EXPECT_EQ(Refusal(WithMetadata("\\\\?\\C:\\work", 0)), "recovery journal contains an invalid metadata ancestor");
    EXPECT_EQ(Refusal(WithMetadata("C:\\work\\.")), "recovery journal contains an invalid metadata ancestor");

    // The machine's profiles directory is a fixed target even above an authority.
    JournalData profiles = WithMetadata("\\\\?\\C:\\Users");
    profiles.authorities = {Recorded("\\\\?\\C:\\Users\\tester\\repo")};
    EXPECT_EQ(Refusal(profiles), kNotAncestor + std::string("\\\\?\\C:\\Users"));
    profiles.metadata_paths = {Recorded("\\\\?\\C:\\Users\\tester")};
    EXPECT_TRUE(Valid(profiles));
}

TEST_F(JournalValidation, FixedTargetsAreResolvedOnlyForMetadataPaths) {
    host.faults().FailAlways("GetSystemWindowsDirectoryW", SysError::Win32(8));
    EXPECT_TRUE(Valid(ValidJournal()));
    EXPECT_EQ(host.faults().Count("GetSystemWindowsDirectoryW"), 0u);
    EXPECT_EQ(Refusal(WithMetadata("\\\\?\\C:\\work")), "GetSystemWindowsDirectoryW failed with Win32 error 8");
}

}  // namespace
}  // namespace telvo::windows
