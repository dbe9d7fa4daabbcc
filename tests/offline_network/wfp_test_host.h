#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "identity/profile.h"
#include "offline_network/lease_record.h"
#include "offline_network/offline_layout.h"
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_token.h"

namespace telvo::offline_network::testing {

// A canonical UUID made of two numbers, distinct for distinct pairs.
inline std::string TestUuid(std::uint32_t a, std::uint32_t b) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", static_cast<unsigned>(a), static_cast<unsigned>(b));
    return text;
}

inline std::string Message(const auto& result) { return result ? "ok" : result.error().Display(); }

// A simulated host whose process runs as LocalSystem, as the broker does.
struct WfpTestHost {
    platform::sim::SimHost host;

    WfpTestHost() { host.security().SetProcessToken(platform::sim::SimToken::LocalSystem()); }
    platform::Platform& platform() { return host.platform(); }
    platform::sim::SimWfp& wfp() { return host.wfp(); }

    // The record of lease `n`: its own profile, lease id and filter keys, in the current boot.
    LeaseRecord Record(std::uint32_t n) {
        LeaseRecord record;
        char digits[40];
        std::snprintf(digits, sizeof digits, "%032x", static_cast<unsigned>(n));
        record.profile_name = std::string("Telvo.Sandbox.") + digits;
        record.package_sid = identity::DeriveProfileSid(platform().appcontainer, record.profile_name).value().ToString();
        record.owner_sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
        record.caller_pid = 4000 + n;
        record.caller_creation = 0x01DB2F5A6C3E8000 + n;
        record.boot_id = ReadBootIdentity(platform().wfp).value();
        record.lease_id = TestUuid(n, 0);
        for (std::uint32_t slot = 0; slot < kFilterSlots; ++slot) record.filter_keys[slot] = TestUuid(n, slot + 1);
        return record;
    }
};

}  // namespace telvo::offline_network::testing
