#include "winutil/walk_tree.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "sim_file_fixture.h"
#include "winformat/sddl.h"

namespace telvo::winutil {
namespace {

class WalkTreeTest : public testing::SimFileTest {
protected:
    // Walks `root`, recording every visited path.
    Result<void> Walk(std::string_view root, std::vector<std::string>* visited = nullptr) {
        return WalkTree(platform(), root, false, cancel, WalkPolicy::prove, [visited](const std::u16string& path, platform::Handle) {
            if (visited != nullptr) visited->push_back(winformat::Utf16ToDisplay(path));
            return Result<void>{};
        });
    }
    std::string ErrorOf(const Result<void>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }

    std::atomic<bool> cancel{false};
};

TEST_F(WalkTreeTest, VisitsEachObjectBeforeItsChildrenInEnumerationOrder) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\b");
    File("\\\\?\\C:\\R\\b\\x");
    File("\\\\?\\C:\\R\\A");
    Dir("\\\\?\\C:\\R\\c");
    Dir("\\\\?\\C:\\R\\c\\d");
    const std::size_t before = OpenHandles();
    std::vector<std::string> visited;
    ASSERT_TRUE(Walk("\\\\?\\C:\\R", &visited));
    EXPECT_EQ(visited, (std::vector<std::string>{"\\\\?\\C:\\R", "\\\\?\\C:\\R\\A", "\\\\?\\C:\\R\\b",
                                                 "\\\\?\\C:\\R\\b\\x", "\\\\?\\C:\\R\\c", "\\\\?\\C:\\R\\c\\d"}));
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(WalkTreeTest, VisitorGetsTheOpenHandleOfEachObject) {
    Dir("\\\\?\\C:\\R");
    File("\\\\?\\C:\\R\\f", "data");
    std::vector<std::uint64_t> indexes;
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", true, cancel, WalkPolicy::prove, [&](const std::u16string&, platform::Handle handle) {
        auto info = platform().files.GetFileInformationByHandle(handle);
        if (!info) return Result<void>(Fail("no information"));
        indexes.push_back((std::uint64_t{info->file_index_high} << 32) | info->file_index_low);
        auto object = host.handles().FindAs<platform::sim::SimFileObject>(handle);
        // CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES to what is asked.
        EXPECT_EQ(object->access(), platform::file_access::kReadControl | platform::file_access::kWriteDac |
                                        platform::file_access::kSynchronize | platform::file_access::kReadAttributes);
        EXPECT_EQ(object->share(), platform::file_share::kRead | platform::file_share::kWrite);
        return Result<void>{};
    });
    ASSERT_TRUE(result) << result.error().Display();
    EXPECT_EQ(indexes, (std::vector<std::uint64_t>{IndexOf("\\\\?\\C:\\R"), IndexOf("\\\\?\\C:\\R\\f")}));
}

TEST_F(WalkTreeTest, WalksAVolumeRootAndLargeDirectories) {
    for (int i = 0; i < 40; ++i) File("\\\\?\\C:\\f" + std::to_string(100 + i));
    std::vector<std::string> visited;
    ASSERT_TRUE(Walk("\\\\?\\C:\\", &visited));
    ASSERT_EQ(visited.size(), 41u);
    EXPECT_EQ(visited[1], "\\\\?\\C:\\f100");
    EXPECT_EQ(visited[40], "\\\\?\\C:\\f139");
}

TEST_F(WalkTreeTest, RefusesJunctionsAndHardLinksInsideTheTree) {
    Dir("\\\\?\\C:\\secret");
    File("\\\\?\\C:\\secret\\key");
    Dir("\\\\?\\C:\\R");
    Junction("\\\\?\\C:\\R\\j", "\\\\?\\C:\\secret");
    const std::size_t before = OpenHandles();
    std::vector<std::string> visited;
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\R", &visited)),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\R\\j");
    EXPECT_EQ(visited, std::vector<std::string>{"\\\\?\\C:\\R"});
    EXPECT_EQ(OpenHandles(), before);

    Dir("\\\\?\\C:\\S");
    HardLink("\\\\?\\C:\\secret\\key", "\\\\?\\C:\\S\\key");
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\S")),
              "hard-linked objects are not accepted in a Windows sandbox authority: \\\\?\\C:\\S\\key");
    EXPECT_EQ(OpenHandles(), before);
}

// Between listing a directory and opening an entry, the entry is replaced.
TEST_F(WalkTreeTest, ObjectSwappedAfterListingIsRefusedNotFollowed) {
    Dir("\\\\?\\C:\\secret");
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\a");
    Dir("\\\\?\\C:\\R\\z");
    const std::size_t before = OpenHandles();
    std::vector<std::string> visited;
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", false, cancel, WalkPolicy::prove, [&](const std::u16string& path, platform::Handle) {
        visited.push_back(winformat::Utf16ToDisplay(path));
        if (path == u"\\\\?\\C:\\R\\a") {
            EXPECT_TRUE(files().Rename(u"\\\\?\\C:\\R\\z", u"\\\\?\\C:\\R\\a\\moved"));
            EXPECT_TRUE(files().MakeJunction(u"\\\\?\\C:\\R\\z", u"\\\\?\\C:\\secret"));
        }
        return Result<void>{};
    });
    EXPECT_EQ(ErrorOf(result), "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\R\\z");
    // The moved directory is found again where it went, below the directory just visited.
    EXPECT_EQ(visited, (std::vector<std::string>{"\\\\?\\C:\\R", "\\\\?\\C:\\R\\a", "\\\\?\\C:\\R\\a\\moved"}));
    EXPECT_EQ(OpenHandles(), before);
}

// While a directory is visited, it is moved and a junction takes its name:
// its children, opened below that name, now lie elsewhere.
TEST_F(WalkTreeTest, EveryObjectsFinalPathIsChecked) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\x");
    File("\\\\?\\C:\\R\\x\\child");
    std::vector<std::string> visited;
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", false, cancel, WalkPolicy::cleanup,
                           [&](const std::u16string& path, platform::Handle) {
                               visited.push_back(winformat::Utf16ToDisplay(path));
                               if (path == u"\\\\?\\C:\\R\\x") {
                                   EXPECT_TRUE(files().Rename(u"\\\\?\\C:\\R\\x", u"\\\\?\\C:\\R\\x-moved"));
                                   EXPECT_TRUE(files().MakeJunction(u"\\\\?\\C:\\R\\x", u"\\\\?\\C:\\R\\x-moved"));
                               }
                               return Result<void>{};
                           });
    EXPECT_EQ(ErrorOf(result),
              "path identity changed while establishing the sandbox: expected \\\\?\\C:\\R\\x\\child, opened "
              "\\\\?\\C:\\R\\x-moved\\child");
    EXPECT_EQ(visited, (std::vector<std::string>{"\\\\?\\C:\\R", "\\\\?\\C:\\R\\x"}));
}

TEST_F(WalkTreeTest, OpenDirectoriesHoldTheirAncestorsInPlace) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\sub");
    File("\\\\?\\C:\\R\\sub\\f");
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", false, cancel, WalkPolicy::prove, [&](const std::u16string& path, platform::Handle) {
        if (path.ends_with(u"\\f")) {
            auto moved = files().Rename(u"\\\\?\\C:\\R\\sub", u"\\\\?\\C:\\elsewhere");
            EXPECT_EQ(moved.error(), SysError::Win32(platform::win32_error::kAccessDenied));
        }
        return Result<void>{};
    });
    EXPECT_TRUE(result);
}

TEST_F(WalkTreeTest, ZeroFileIndexIsNoIdentity) {
    Dir("\\\\?\\C:\\R");
    File("\\\\?\\C:\\R\\f");
    ASSERT_TRUE(files().SetFileIndex(u"\\\\?\\C:\\R\\f", 0));
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\R")), "filesystem returned no stable identity for \\\\?\\C:\\R\\f");
}

TEST_F(WalkTreeTest, VisitorErrorEndsTheWalkUnchanged) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\a");
    File("\\\\?\\C:\\R\\a\\f");
    const std::size_t before = OpenHandles();
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", false, cancel, WalkPolicy::prove, [](const std::u16string& path, platform::Handle) {
        if (path.ends_with(u"\\f")) return Result<void>(Fail(Error("grant failed").Context("visitor")));
        return Result<void>{};
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().chain(), (std::vector<std::string>{"visitor", "grant failed"}));
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(WalkTreeTest, CancelledBeforeTheRootOpensNothing) {
    Dir("\\\\?\\C:\\R");
    cancel = true;
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\R")), "sandbox filesystem traversal cancelled");
    EXPECT_EQ(host.faults().Count("CreateFileW"), 0u);
}

TEST_F(WalkTreeTest, CancelledFromAnotherThreadMidWalk) {
    Dir("\\\\?\\C:\\R");
    for (int i = 0; i < 10; ++i) File("\\\\?\\C:\\R\\f" + std::to_string(i));
    const std::size_t before = OpenHandles();
    std::vector<std::string> visited;
    auto result = WalkTree(platform(), "\\\\?\\C:\\R", false, cancel, WalkPolicy::prove, [&](const std::u16string& path, platform::Handle) {
        visited.push_back(winformat::Utf16ToDisplay(path));
        if (visited.size() == 3) std::thread([this] { cancel = true; }).join();
        return Result<void>{};
    });
    EXPECT_EQ(ErrorOf(result), "sandbox filesystem traversal cancelled");
    EXPECT_EQ(visited.size(), 3u);
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(WalkTreeTest, EnumerationFailureNamesTheDirectory) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\d");
    FailNext("ReOpenFile", 5);
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\R")),
              "could not enumerate \\\\?\\C:\\R: ReOpenFile(list directory) failed with Win32 error 5");
    FailNext("GetFileInformationByHandleEx", 1117);
    EXPECT_EQ(ErrorOf(Walk("\\\\?\\C:\\R")),
              "could not enumerate \\\\?\\C:\\R: GetFileInformationByHandleEx(FileIdBothDirectoryInfo) failed with "
              "Win32 error 1117");
}

// Every seam call the walk makes, failed at each of its uses in turn: the walk
// reports a Win32 failure and leaves no handle open.
TEST_F(WalkTreeTest, EveryFailedCallClosesEveryHandle) {
    Dir("\\\\?\\C:\\R");
    Dir("\\\\?\\C:\\R\\a");
    Dir("\\\\?\\C:\\R\\a\\b");
    File("\\\\?\\C:\\R\\a\\b\\f");
    File("\\\\?\\C:\\R\\g");
    const std::size_t before = OpenHandles();
    const auto counts_before = host.faults().Counts();
    ASSERT_TRUE(Walk("\\\\?\\C:\\R"));
    const auto counts_after = host.faults().Counts();
    int sweeps = 0;
    for (const auto& [call, total] : counts_after) {
        if (call == "CloseHandle") continue;
        const std::uint64_t start = counts_before.contains(call) ? counts_before.at(call) : 0;
        for (std::uint64_t use = 1; use <= total - start; ++use) {
            host.faults().Clear();
            host.faults().FailOn(call, host.faults().Count(call) + use, SysError::Win32(1450));
            auto result = Walk("\\\\?\\C:\\R");
            ASSERT_FALSE(result) << call << " #" << use;
            EXPECT_NE(result.error().Display().find("failed with Win32 error 1450"), std::string::npos)
                << result.error().Display();
            EXPECT_EQ(OpenHandles(), before) << call << " #" << use;
            ++sweeps;
        }
    }
    EXPECT_GE(sweeps, 20);
}

TEST_F(WalkTreeTest, HoldsOneHandlePerDirectoryLevel) {
    std::string path = "\\\\?\\C:\\R";
    Dir(path);
    for (int depth = 0; depth < 30; ++depth) {
        path += "\\d";
        Dir(path);
        File(path + "\\f");
    }
    const std::size_t before = OpenHandles();
    host.handles().ResetPeak();
    ASSERT_TRUE(Walk("\\\\?\\C:\\R"));
    // 31 directories on the stack, the object being visited and the listing handle.
    EXPECT_LE(host.handles().PeakCount() - before, 31u + 2u);
}

class WalkBoundTest : public WalkTreeTest {
protected:
    // \\?\C:\B with 500 directories of 999 files: 500001 objects with the root.
    void BuildTree() {
        Dir("\\\\?\\C:\\B");
        for (int d = 0; d < 500; ++d) {
            const std::string dir = "\\\\?\\C:\\B\\d" + std::to_string(d);
            Dir(dir);
            for (int f = 0; f < 999; ++f) File(dir + "\\" + std::to_string(f));
        }
    }
};

TEST_F(WalkBoundTest, AcceptsExactly500000ObjectsAndRefusesOneMore) {
    BuildTree();
    std::uint64_t visits = 0;
    const auto count = [&visits](const std::u16string&, platform::Handle) {
        ++visits;
        return Result<void>{};
    };
    auto result = WalkTree(platform(), "\\\\?\\C:\\B", false, cancel, WalkPolicy::prove, count);
    EXPECT_EQ(ErrorOf(result), "sandbox authority exceeds the 500000-object validation limit");
    EXPECT_EQ(visits, 500000u);

    // Cleanup goes past the validation limit: it must reach whatever a grant reached.
    visits = 0;
    result = WalkTree(platform(), "\\\\?\\C:\\B", false, cancel, WalkPolicy::cleanup, count);
    EXPECT_TRUE(result) << result.error().Display();
    EXPECT_EQ(visits, 500001u);

    ASSERT_TRUE(files().Remove(u"\\\\?\\C:\\B\\d499\\998"));
    visits = 0;
    result = WalkTree(platform(), "\\\\?\\C:\\B", false, cancel, WalkPolicy::prove, count);
    EXPECT_TRUE(result) << result.error().Display();
    EXPECT_EQ(visits, 500000u);
}

TEST_F(WalkTreeTest, CleanupWalkHasABoundOfItsOwn) {
    Dir("\\\\?\\C:\\R");
    for (int i = 0; i < 4; ++i) File("\\\\?\\C:\\R\\f" + std::to_string(i));
    std::uint64_t visits = 0;
    const auto count = [&visits](const std::u16string&, platform::Handle) {
        ++visits;
        return Result<void>{};
    };
    auto result = WalkTreeWithin(platform(), u"\\\\?\\C:\\R", false, cancel, WalkPolicy::cleanup, 3, count);
    EXPECT_EQ(ErrorOf(result), "sandbox authority exceeds the 3-object cleanup limit");
    EXPECT_EQ(visits, 3u);
    visits = 0;
    EXPECT_TRUE(WalkTreeWithin(platform(), u"\\\\?\\C:\\R", false, cancel, WalkPolicy::cleanup, 5, count));
    EXPECT_EQ(visits, 5u);
}


// The cleanup walk over what a hostile command may make below a grant.
class CleanupWalkTest : public WalkTreeTest {
protected:
    CleanupWalkTest() {
        Dir("\\\\?\\C:\\R");
        Plant("\\\\?\\C:\\R", "D:P(A;OICI;FA;;;" + Owner() + ")");
    }
    std::string Owner() { return host.security().ProcessToken().owner.ToString(); }
    void Plant(std::string_view path, const std::string& dacl) {
        ASSERT_TRUE(files().SetSecurityDescriptor(
            Wide(path), winformat::ParseSddl("O:" + Owner() + dacl).value().ToSelfRelative()))
            << path;
    }
    Result<void> Cleanup(std::uint64_t limit = kCleanupWalkObjectLimit) {
        visited.clear();
        tally = {};
        return WalkTreeForCleanup(platform(), u"\\\\?\\C:\\R", true, limit,
                                  [&](const CleanupObject& object) {
                                      visited.push_back(winformat::Utf16ToDisplay(object.path) +
                                                        (object.write_dac ? "" : " (read only)"));
                                      return Result<void>{};
                                  },
                                  tally);
    }
    std::vector<std::string> visited;
    CleanupWalkTally tally;
};

// A file's further names are not objects: a command that links one file a
// thousand times cannot drive the walk to its bound.
TEST_F(CleanupWalkTest, AHardLinkedFileIsVisitedOnceWhateverItsNames) {
    File("\\\\?\\C:\\R\\f");
    for (int i = 0; i < 9; ++i) HardLink("\\\\?\\C:\\R\\f", "\\\\?\\C:\\R\\l" + std::to_string(i));
    ASSERT_EQ(ErrorOf(Cleanup(2)), "(succeeded)");
    EXPECT_EQ(visited, (std::vector<std::string>{"\\\\?\\C:\\R", "\\\\?\\C:\\R\\f"}));
    EXPECT_EQ(tally.objects, 2u);
    EXPECT_EQ(tally.extra_names, 9u);
    EXPECT_FALSE(tally.past_bound);

    File("\\\\?\\C:\\R\\g");
    EXPECT_EQ(ErrorOf(Cleanup(2)), "sandbox authority exceeds the 2-object cleanup limit");
    EXPECT_TRUE(tally.past_bound);
}

// What shuts the user out is passed over and counted; the walk goes on.
TEST_F(CleanupWalkTest, ObjectsThatRefuseTheUserArePassedOverAndCounted) {
    Dir("\\\\?\\C:\\R\\a-shut");
    Plant("\\\\?\\C:\\R\\a-shut", "D:P(A;;0x0;;;OW)");  // no implicit owner rights: nothing opens it
    Dir("\\\\?\\C:\\R\\b-unlisted");
    File("\\\\?\\C:\\R\\b-unlisted\\inside");
    Plant("\\\\?\\C:\\R\\b-unlisted", "D:P");  // the owner's READ_CONTROL and WRITE_DAC only
    File("\\\\?\\C:\\R\\c-read");
    Plant("\\\\?\\C:\\R\\c-read", "D:P(A;;FR;;;" + Owner() + ")(A;;RC;;;OW)");  // no WRITE_DAC
    File("\\\\?\\C:\\R\\d-last");
    ASSERT_EQ(ErrorOf(Cleanup()), "(succeeded)");
    EXPECT_EQ(visited, (std::vector<std::string>{"\\\\?\\C:\\R", "\\\\?\\C:\\R\\b-unlisted",
                                                 "\\\\?\\C:\\R\\c-read (read only)", "\\\\?\\C:\\R\\d-last"}));
    EXPECT_EQ(tally.unopened, 1u);
    EXPECT_EQ(tally.unlisted, 1u);
    // The walks that prove a grant refuse all of it.
    EXPECT_NE(ErrorOf(Walk("\\\\?\\C:\\R")), "(succeeded)");
}

// The cleanup asks for nothing an owner's implicit rights and the parent's
// listing right do not give: NtOpenFile adds no SYNCHRONIZE, as CreateFileW would.
TEST_F(CleanupWalkTest, OpensAskForNothingButTheDaclAndTheAttributes) {
    File("\\\\?\\C:\\R\\f");
    host.faults().Watch("NtOpenFile");
    host.faults().Watch("CreateFileW");
    ASSERT_TRUE(Cleanup());
    constexpr std::uint64_t kAccess = 0x00020000 | 0x00040000 | 0x80;  // READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES
    constexpr std::uint64_t kOptions = 0x00200000 | 0x4000;            // FILE_OPEN_REPARSE_POINT | FOR_BACKUP_INTENT
    const std::vector<platform::sim::FaultPlan::Call> expected(2, {"NtOpenFile", {kAccess, 0x3, kOptions}});
    EXPECT_EQ(host.faults().Log(), expected);
}

// A tree deeper than a path can name: what lies past the limit is counted.
TEST_F(CleanupWalkTest, NamesLongerThanAPathCanBeArePassedOver) {
    std::string path = "\\\\?\\C:\\R";
    const std::string name(250, 'd');
    while (path.size() + name.size() + 1 <= 32767) {
        path += "\\" + name;
        Dir(path);
    }
    const std::string too_deep = path + "\\" + name;
    Dir(too_deep);
    ASSERT_EQ(ErrorOf(Cleanup()), "(succeeded)");
    EXPECT_EQ(tally.unnameable, 1u);
    EXPECT_EQ(visited.back(), path);
    // Windows refuses such a path to every open.
    EXPECT_EQ(files().CreateFileW(Wide(too_deep), 0x20000, 3, 3, 0x02200000).error(), SysError::Win32(206));
}

}  // namespace
}  // namespace telvo::winutil
