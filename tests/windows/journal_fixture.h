#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/sim/sim_host.h"
#include "windows/journal_json.h"
#include "winformat/text.h"

namespace telvo::windows::testing {

inline constexpr char kProfile[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";
inline constexpr char kMutex[] = "Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef";
inline constexpr char kStateDir[] = "\\\\?\\C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1";
inline constexpr char kJournal[] =
    "\\\\?\\C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1\\Telvo.Sandbox.0123456789abcdef0123456789abcdef.json";
inline constexpr char kAuthority[] = "\\\\?\\C:\\work\\repo";

inline winutil::RecordedPath Recorded(std::string path, std::uint64_t index = 0x0001000000000042) {
    return {std::move(path), {0x2C5E1A07, index}};
}

// A valid version-5 journal with one authority and nothing else.
inline JournalData ValidJournal() {
    JournalData data;
    data.profile_name = kProfile;
    data.mutex_name = kMutex;
    data.authorities = {Recorded(kAuthority)};
    return data;
}

// A simulated machine with drive C:, the authority directory and the user's
// LocalAppData, on which journals are created, written and read.
class JournalTest : public ::testing::Test {
protected:
    JournalTest() {
        host.files().AddVolume({});
        for (const char* dir : {"C:\\work", "C:\\work\\repo", "C:\\Users", "C:\\Users\\tester"}) {
            EXPECT_TRUE(host.files().MakeDirectory(Wide(dir)));
        }
    }

    platform::Platform& platform() { return host.platform(); }
    static std::u16string Wide(std::string_view text) { return winformat::Utf8ToUtf16(text).value(); }
    bool Exists(std::string_view path) { return host.files().Lookup(Wide(path)).has_value(); }
    std::string Contents(std::string_view path) {
        auto facts = host.files().Lookup(Wide(path));
        return facts ? facts->contents : "<missing>";
    }
    // The next `times` uses of `call` fail with Win32 error `code`.
    void FailNext(const std::string& call, std::uint32_t code, int times = 1) {
        const std::uint64_t used = host.faults().Count(call);
        for (int i = 1; i <= times; ++i) host.faults().FailOn(call, used + i, SysError::Win32(code));
    }

    platform::sim::SimHost host;
};

}  // namespace telvo::windows::testing
