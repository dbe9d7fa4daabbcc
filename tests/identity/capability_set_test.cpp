#include "identity/capability_set.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/sim/sim_host.h"

namespace telvo::identity {
namespace {

using platform::sim::SimHost;
using winformat::Sid;

Sid SidOf(const char* text) { return *Sid::Parse(text); }

void ExpectEntriesPointAtSids(const CapabilitySet& set) {
    ASSERT_EQ(set.entries().size(), set.sids().size());
    for (std::size_t i = 0; i < set.sids().size(); ++i) {
        EXPECT_EQ(set.entries()[i].sid, &set.sids()[i]);
        EXPECT_EQ(set.entries()[i].attributes, 0x4u);
    }
}

TEST(CapabilitySet, ResolvesTheSixCapabilitiesInOrder) {
    SimHost host;
    auto set = CapabilitySet::Resolve(host.platform().appcontainer);
    ASSERT_TRUE(set) << set.error().Display();
    ASSERT_EQ(set->sids().size(), 6u);
    EXPECT_EQ(set->sids()[0], SidOf("S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-"
                                    "3232135806-4053264122-3456934681"));
    EXPECT_EQ(set->sids()[1], SidOf("S-1-15-3-1024-2405443489-874036122-4286035555-1823921565-1746547431-"
                                    "2453885448-3625952902-991631256"));
    for (std::size_t custom : {2u, 3u}) {
        const Sid& sid = set->sids()[custom];
        EXPECT_EQ(sid.authority(), 15u);
        EXPECT_EQ(sid.sub_authority_count(), 10u);
        EXPECT_EQ(sid.sub_authority(0), 3u);
        EXPECT_EQ(sid.sub_authority(1), 1024u);
    }
    EXPECT_NE(set->sids()[2], set->sids()[3]);
    EXPECT_EQ(set->sids()[4], SidOf("S-1-15-3-2"));
    EXPECT_EQ(set->sids()[5], SidOf("S-1-15-3-3"));
    ExpectEntriesPointAtSids(*set);
    EXPECT_EQ(host.faults().Count("DeriveCapabilitySidsFromName"), 6u);
}

TEST(CapabilitySet, EntriesFollowTheSidsWhenTheSetMoves) {
    SimHost host;
    auto resolved = CapabilitySet::Resolve(host.platform().appcontainer);
    ASSERT_TRUE(resolved);
    CapabilitySet moved = std::move(*resolved);
    ExpectEntriesPointAtSids(moved);
    CapabilitySet assigned;
    assigned = std::move(moved);
    ExpectEntriesPointAtSids(assigned);
    EXPECT_EQ(assigned.sids().size(), 6u);
}

TEST(CapabilitySet, KeepsEveryCapabilitySidOfAName) {
    SimHost host;
    const Sid first = SidOf("S-1-15-3-1024-1-2-3-4-5-6-7-8");
    const Sid second = SidOf("S-1-15-3-1024-8-7-6-5-4-3-2-1");
    host.appcontainer().SetCapabilitySids(u"lpacCom", {{}, {first, second}});
    auto set = CapabilitySet::Resolve(host.platform().appcontainer);
    ASSERT_TRUE(set) << set.error().Display();
    ASSERT_EQ(set->sids().size(), 7u);
    EXPECT_EQ(set->sids()[1], first);
    EXPECT_EQ(set->sids()[2], second);
    ExpectEntriesPointAtSids(*set);
}

TEST(CapabilitySet, StopsAtTheFirstFailureAndNamesTheCapability) {
    SimHost host;
    host.faults().FailOn("DeriveCapabilitySidsFromName", 3, SysError::Win32(8));
    auto set = CapabilitySet::Resolve(host.platform().appcontainer);
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().Display(),
              "DeriveCapabilitySidsFromName(Telvo.Sandbox.SystemRootMetadata.v1) failed with Win32 error 8");
    EXPECT_EQ(host.faults().Count("DeriveCapabilitySidsFromName"), 3u);
}

TEST(CapabilitySet, RefusesEmptyResultsAndNullEntries) {
    struct Case {
        const char16_t* name;
        platform::DerivedCapabilitySids sids;
        const char* message;
    };
    const Sid group = SidOf("S-1-5-32-1-2-3-4-5-6-7-8");
    const Sid valid = SidOf("S-1-15-3-1024-1-2-3-4-5-6-7-8");
    for (const auto& [name, sids, message] : {
             Case{u"registryRead", {{group}, {}}, "capability registryRead resolved to no SID"},
             Case{u"internetClientServer", {{}, {}}, "capability internetClientServer resolved to no SID"},
             Case{u"Telvo.Sandbox.NullDevice.v1", {{group}, {valid, std::nullopt}},
                  "capability Telvo.Sandbox.NullDevice.v1 returned a null SID"},
         }) {
        SimHost host;
        host.appcontainer().SetCapabilitySids(name, sids);
        auto set = CapabilitySet::Resolve(host.platform().appcontainer);
        ASSERT_FALSE(set);
        EXPECT_EQ(set.error().Display(), message);
    }
}

}  // namespace
}  // namespace telvo::identity
