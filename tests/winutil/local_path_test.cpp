#include "winutil/local_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// One value for a path, whichever form it came in: the controller's text,
// the extended text, or a final path the system reported in UTF-16.
TEST(LocalPathValue, EveryFormOfOnePathIsOneValue) {
    const LocalPath plain = LocalPath::FromText("c:/Work//Repo/").value();
    const LocalPath extended = LocalPath::FromText("\\\\?\\C:\\work\\repo").value();
    const LocalPath reported = LocalPath::FromWide(u"\\\\?\\C:\\WORK\\Repo").value();
    EXPECT_EQ(plain.text(), "\\\\?\\C:\\Work\\Repo");
    EXPECT_EQ(plain.wide(), u"\\\\?\\C:\\Work\\Repo");
    EXPECT_EQ(plain.PlainWide(), u"C:\\Work\\Repo");
    EXPECT_EQ(plain, extended);
    EXPECT_EQ(plain, reported);
    EXPECT_FALSE(plain == LocalPath::FromText("C:\\Work\\Rep").value());
    EXPECT_FALSE(LocalPath::FromText("C:\\a\\..\\b"));
    EXPECT_FALSE(LocalPath::FromWide(u"\\\\server\\share\\x"));
    EXPECT_FALSE(LocalPath::FromWide(std::u16string(1, char16_t(0xD800))));
}

TEST(LocalPathValue, ContainsByWholeNamesAndJoinsOnlyPlainNames) {
    const LocalPath root = LocalPath::FromText("C:\\ws").value();
    EXPECT_TRUE(root.Contains(LocalPath::FromText("c:\\WS\\src\\a").value()));
    EXPECT_TRUE(root.Contains(root));
    EXPECT_FALSE(root.Contains(LocalPath::FromText("C:\\ws2").value()));
    EXPECT_TRUE(root.Overlaps(LocalPath::FromText("C:\\").value()));
    EXPECT_FALSE(root.Overlaps(LocalPath::FromText("D:\\ws").value()));

    const LocalPath child = root.Child("src").value();
    EXPECT_EQ(child.text(), "\\\\?\\C:\\ws\\src");
    EXPECT_EQ(LocalPath::FromText("D:\\").value().Child("x").value().text(), "\\\\?\\D:\\x");
    for (const char* bad : {"", ".", "..", "a\\b", "a/b", "a:b", "trailing.", "trailing "}) {
        EXPECT_FALSE(root.Child(bad)) << bad;
    }
    EXPECT_EQ(root.NamesBelow(LocalPath::FromText("C:\\WS\\a\\b").value()), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(root.NamesBelow(LocalPath::FromText("C:\\wsx\\a").value()).empty());
    EXPECT_EQ(LocalPath::FromText("C:\\").value().NamesBelow(child), (std::vector<std::string>{"ws", "src"}));
}

TEST(LocalPathValue, TheParentOfANameBelowAVolumeRootIsTheRootWithItsSeparator) {
    EXPECT_EQ(LocalPath::FromText("C:\\ws\\src").value().Parent().text(), "\\\\?\\C:\\ws");
    EXPECT_EQ(LocalPath::FromText("C:\\ws").value().Parent().text(), "\\\\?\\C:\\");
    EXPECT_TRUE(LocalPath::FromText("C:\\ws").value().Parent().IsVolumeRoot());
    EXPECT_EQ(LocalPath::FromText("c:\\").value().Parent().wide(), u"\\\\?\\C:\\");
    EXPECT_EQ(LocalPath::FromText("C:\\").value().PlainWide(), u"C:\\");
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
