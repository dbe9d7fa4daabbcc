#include "winutil/local_path.h"

#include <gtest/gtest.h>

#include "winformat/ordinal_case.h"

namespace telvo::winutil {
namespace {

TEST(LocalPath, AcceptsDriveAndVerbatimDrivePaths) {
    for (std::string_view path : {"C:\\", "c:\\Work", "C:/Work/src", "C:\\a\\\\b\\", "\\\\?\\C:\\", "\\\\?\\d:\\Work\\x",
                                  "C:\\Wörk\\日本", "C:\\a b\\.hidden", "C:\\a.b\\c"}) {
        EXPECT_TRUE(IsNormalizedLocalPath(path)) << path;
    }
}

TEST(LocalPath, RefusesOtherPrefixesAndRelativeForms) {
    for (std::string_view path : {"", "C:", "C:foo", "\\\\server\\share\\x", "\\\\?\\UNC\\server\\share", "relative\\x",
                                  "\\rooted", "\\\\.\\C:\\x", "\\\\?\\C:", "\\\\?\\C:/x", "//?/C:/x", "\\\\?\\Volume{1}\\x",
                                  "1:\\x", "CC:\\x"}) {
        EXPECT_FALSE(IsNormalizedLocalPath(path)) << path;
    }
}

TEST(LocalPath, RefusesDotsColonsTrailingDotsSpacesAndNul) {
    using namespace std::string_view_literals;
    for (std::string_view path : {"C:\\a\\.\\b"sv, "C:\\a\\..\\b"sv, "C:\\a/./b"sv, "C:\\a\\b."sv, "C:\\a\\b "sv,
                                  "C:\\a:b"sv, "C:\\a\\b:stream"sv, "C:\\a\\.."sv, "\\\\?\\C:\\a\\."sv,
                                  "C:\\a\0b"sv, "C:\\\xFF"sv}) {
        EXPECT_FALSE(IsNormalizedLocalPath(path)) << path;
    }
}

TEST(LocalPath, ExtendedFormHasPrefixAndUpperCaseDrive) {
    EXPECT_EQ(ToExtendedPath("c:\\Work").value(), "\\\\?\\C:\\Work");
    EXPECT_EQ(ToExtendedPath("\\\\?\\c:\\Work").value(), "\\\\?\\C:\\Work");
    EXPECT_EQ(ToExtendedPath("C:\\").value(), "\\\\?\\C:\\");
    EXPECT_EQ(ToExtendedPath("\\\\?\\C:\\").value(), "\\\\?\\C:\\");
    EXPECT_EQ(ToExtendedPath("z:\\Wörk\\x").value(), "\\\\?\\Z:\\Wörk\\x");
}

// A verbatim path is taken literally by Windows, so the plain form's `/` and
// repeated separators must become single `\` to name the same object.
TEST(LocalPath, ExtendedFormOfPlainPathUsesSingleBackslashes) {
    EXPECT_EQ(ToExtendedPath("c:/Work//src/").value(), "\\\\?\\C:\\Work\\src");
    EXPECT_TRUE(IsNormalizedLocalPath(ToExtendedPath("c:/Work//src/").value()));
}

TEST(LocalPath, ExtendedFormRefusesWhatIsNotNormalized) {
    for (std::string_view path : {"C:foo", "\\\\server\\share\\x", "C:\\a\\..\\b", "relative"}) {
        auto extended = ToExtendedPath(path);
        ASSERT_FALSE(extended) << path;
        EXPECT_EQ(extended.error().Display(), "path must be a normalized absolute local-drive path");
    }
}

TEST(LocalPath, EqualityIgnoresCaseSeparatorKindAndTrailingSeparators) {
    EXPECT_TRUE(PathsEqual("C:\\Work\\", "c:/work"));
    EXPECT_TRUE(PathsEqual("C:\\", "c:"));
    EXPECT_TRUE(PathsEqual("", ""));
    EXPECT_TRUE(PathsEqual("\\\\?\\C:\\ÄÖÜ\\Straße", "\\\\?\\c:\\äöü\\STRAßE"));
    EXPECT_TRUE(PathsEqual("C:\\Σίσυφος", "C:\\ΣΊΣΥΦΟΣ"));
    EXPECT_TRUE(PathsEqual("C:\\Москва", "c:\\МОСКВА"));
    EXPECT_FALSE(PathsEqual("C:\\Work", "C:\\Work2"));
    EXPECT_FALSE(PathsEqual("C:\\Work", "\\\\?\\C:\\Work"));
    EXPECT_FALSE(PathsEqual("C:\\a\\\\b", "C:\\a\\b"));
    EXPECT_FALSE(PathsEqual("C:\\\xFF", "C:\\\xFF"));
}

TEST(LocalPath, ContainmentStopsAtNameBoundaries) {
    EXPECT_TRUE(PathContains("C:\\Work", "C:\\Work\\x"));
    EXPECT_TRUE(PathContains("C:\\Work", "c:/WORK/x/y"));
    EXPECT_TRUE(PathContains("C:\\Work\\", "C:\\Work"));
    EXPECT_TRUE(PathContains("C:\\", "C:\\anything\\below"));
    EXPECT_FALSE(PathContains("C:\\Work", "C:\\Workspace"));
    EXPECT_FALSE(PathContains("C:\\ab", "C:\\abc"));
    EXPECT_FALSE(PathContains("C:\\Work\\x", "C:\\Work"));
    EXPECT_FALSE(PathContains("C:\\Work", "D:\\Work\\x"));
}

TEST(OrdinalCase, UpperCasesEachUnitOnItsOwn) {
    EXPECT_EQ(winformat::UpcaseUnit(u'a'), u'A');
    EXPECT_EQ(winformat::UpcaseUnit(u'ÿ'), u'Ÿ');
    EXPECT_EQ(winformat::UpcaseUnit(u'ł'), u'Ł');
    EXPECT_EQ(winformat::UpcaseUnit(u'ς'), u'Σ');
    EXPECT_EQ(winformat::UpcaseUnit(u'ё'), u'Ё');
    EXPECT_EQ(winformat::UpcaseUnit(u'ｚ'), u'Ｚ');
    // No locale: the dotless i stays, the sharp s has no single-unit upper case.
    EXPECT_EQ(winformat::UpcaseUnit(u'ı'), u'ı');
    EXPECT_EQ(winformat::UpcaseUnit(u'ß'), u'ß');
    EXPECT_EQ(winformat::UpcaseUnit(u'÷'), u'÷');
    EXPECT_FALSE(winformat::EqualIgnoringCase(u"i", u"İ"));
    EXPECT_FALSE(winformat::EqualIgnoringCase(u"ab", u"abc"));
}

}  // namespace
}  // namespace telvo::winutil
