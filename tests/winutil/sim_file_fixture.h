#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/sim/sim_host.h"
#include "winformat/text.h"

namespace telvo::winutil::testing {

// A simulated host with an NTFS volume C: (serial 0x2C5E1A07) for the path
// primitives' tests. Paths are written as UTF-8 for the primitives and planted
// through the sim's test API.
class SimFileTest : public ::testing::Test {
protected:
    SimFileTest() { files().AddVolume({}); }

    platform::Platform& platform() { return host.platform(); }
    platform::sim::SimFiles& files() { return host.files(); }
    std::size_t OpenHandles() { return host.handles().OpenCount(); }

    static std::u16string Wide(std::string_view text) { return winformat::Utf8ToUtf16(text).value(); }
    void Dir(std::string_view path) { ASSERT_TRUE(files().MakeDirectory(Wide(path))) << path; }
    void File(std::string_view path, std::string contents = {}) {
        ASSERT_TRUE(files().MakeFile(Wide(path), std::move(contents))) << path;
    }
    void Junction(std::string_view path, std::string_view target) {
        ASSERT_TRUE(files().MakeJunction(Wide(path), Wide(target))) << path;
    }
    void HardLink(std::string_view existing, std::string_view link) {
        ASSERT_TRUE(files().MakeHardLink(Wide(existing), Wide(link))) << link;
    }
    void Rename(std::string_view from, std::string_view to) {
        ASSERT_TRUE(files().Rename(Wide(from), Wide(to))) << from;
    }
    // The next use of `call` fails with Win32 error `code`.
    void FailNext(const std::string& call, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, SysError::Win32(code));
    }
    std::uint64_t IndexOf(std::string_view path) { return files().Lookup(Wide(path)).value().file_index; }

    platform::sim::SimHost host;
};

}  // namespace telvo::winutil::testing
