// The traversal and the identity checks over a real tree: what the grant,
// verification and cleanup passes walk.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>

#include "contract_host.h"
#include "winutil/recorded_path.h"
#include "winformat/text.h"
#include "winutil/walk_tree.h"

namespace telvo::contract {
namespace {

class WalkContract : public ::testing::Test {
protected:
    void SetUp() override {
        host = MakeContractHost();
        scratch16 = host->ScratchDirectory();
        ASSERT_FALSE(scratch16.empty());
        scratch = winformat::Utf16ToUtf8(scratch16).value();
        ASSERT_TRUE(host->MakeDirectory(scratch16 + u"\\a"));
        ASSERT_TRUE(host->MakeDirectory(scratch16 + u"\\a\\b"));
        ASSERT_TRUE(host->MakeFile(scratch16 + u"\\a\\b\\f", "data"));
        ASSERT_TRUE(host->MakeDirectory(scratch16 + u"\\c"));
    }

    // Walks the scratch tree; each visited path with its position in the walk.
    Result<std::map<std::string, int>> Walk() {
        std::map<std::string, int> visited;
        std::atomic<bool> cancel{false};
        auto walked = winutil::WalkTree(host->platform(), scratch, false, cancel, winutil::WalkPolicy::prove,
                                        [&](const std::u16string& path, platform::Handle) -> Result<void> {
                                            const int position = static_cast<int>(visited.size());
                                            visited.emplace(winformat::Utf16ToDisplay(path).substr(scratch.size()),
                                                            position);
                                            return {};
                                        });
        if (!walked) return std::unexpected(walked.error());
        return visited;
    }

    std::unique_ptr<ContractHost> host;
    std::u16string scratch16;
    std::string scratch;
};

TEST_F(WalkContract, VisitsEveryObjectOnceParentsFirst) {
    auto visited = Walk();
    ASSERT_TRUE(visited) << visited.error().Display();
    ASSERT_EQ(visited->size(), 5u);
    EXPECT_EQ(visited->at(""), 0);
    EXPECT_LT(visited->at("\\a"), visited->at("\\a\\b"));
    EXPECT_LT(visited->at("\\a\\b"), visited->at("\\a\\b\\f"));
    EXPECT_TRUE(visited->contains("\\c"));
}

TEST_F(WalkContract, RefusesASecondHardLinkInTheTree) {
    if (!host->MakeHardLink(scratch16 + u"\\a\\b\\f", scratch16 + u"\\c\\g")) GTEST_SKIP() << "no hard links here";
    auto visited = Walk();
    ASSERT_FALSE(visited);
    EXPECT_EQ(visited.error().Display().rfind("hard-linked objects are not accepted in a Windows sandbox authority: ", 0),
              0u)
        << visited.error().Display();
}

TEST_F(WalkContract, RecordedPathsReopenToTheSameObjectOnly) {
    auto recorded = winutil::CaptureRecordedPath(host->platform(), scratch + "\\a");
    ASSERT_TRUE(recorded) << recorded.error().Display();
    EXPECT_NE(recorded->identity.file_index, 0u);
    EXPECT_TRUE(winutil::ReopenRecordedPath(host->platform(), *recorded));
    // Another directory takes the name: the identity no longer matches.
    ASSERT_TRUE(host->Rename(scratch16 + u"\\a", scratch16 + u"\\moved"));
    ASSERT_TRUE(host->Rename(scratch16 + u"\\c", scratch16 + u"\\a"));
    auto reopened = winutil::ReopenRecordedPath(host->platform(), *recorded);
    ASSERT_FALSE(reopened);
    EXPECT_EQ(reopened.error().Display(), "recovery path identity changed: " + scratch + "\\a");
}

}  // namespace
}  // namespace telvo::contract
