#include "platform/sim/seam_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace telvo::platform::sim {
namespace {

// The list is the sim's own: every name a simulated call enters under, and
// no other (telvo-sim refuses --fail for a name that is not listed).
TEST(SeamCalls, ListsEveryCallTheSimEntersAndNoOther) {
    const std::filesystem::path sources = std::filesystem::path(__FILE__).parent_path() / "../../src/platform/sim";
    static const std::regex kEnter(R"re((?:TELVO_SIM_ENTER\(\s*[A-Za-z_().]+\s*,|\bEnter\()\s*"([A-Za-z0-9_]+)")re");
    std::set<std::string> entered;
    for (const auto& file : std::filesystem::directory_iterator(sources)) {
        if (file.path().extension() != ".cpp" && file.path().extension() != ".h") continue;
        std::ifstream in(file.path());
        std::stringstream text;
        text << in.rdbuf();
        const std::string source = text.str();
        for (auto it = std::sregex_iterator(source.begin(), source.end(), kEnter); it != std::sregex_iterator(); ++it) {
            entered.insert((*it)[1].str());
        }
    }
    ASSERT_GT(entered.size(), 50u);
    std::set<std::string> listed;
    for (const std::string_view call : SeamCalls()) {
        EXPECT_TRUE(listed.insert(std::string(call)).second) << call << " is listed twice";
        EXPECT_TRUE(IsSeamCall(call)) << call;
    }
    EXPECT_EQ(listed, entered);
    EXPECT_TRUE(std::ranges::is_sorted(SeamCalls()));
    EXPECT_FALSE(IsSeamCall("CreateFileA"));
    EXPECT_FALSE(IsSeamCall("createfilew"));
}

}  // namespace
}  // namespace telvo::platform::sim
