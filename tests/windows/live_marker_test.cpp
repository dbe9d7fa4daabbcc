#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "windows/journal.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"

namespace telvo::windows {
namespace {

using platform::sim::SimHost;

constexpr char kMarker[] = "Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char16_t kMarkerWide[] = u"Global\\Telvo.Sandbox.0123456789abcdef0123456789abcdef";

class LiveMarker : public ::testing::Test {
protected:
    std::string CreateRefusal(std::string_view name = kMarker) {
        const std::size_t handles = host.handles().OpenCount();
        auto marker = CreateLiveMarker(host.platform(), name);
        EXPECT_FALSE(marker);
        EXPECT_EQ(host.handles().OpenCount(), handles);
        return marker ? std::string("created") : marker.error().Display();
    }
    std::string ProbeRefusal() {
        auto probe = ProbeLiveMarker(host.platform(), kMarker);
        EXPECT_FALSE(probe);
        return probe ? std::string("probed") : probe.error().Display();
    }
    void FailNext(const std::string& call, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, SysError::Win32(code));
    }
    SimHost host;
};

TEST_F(LiveMarker, OwnedByTheUserWhoAloneMaySynchronizeAndAliveWhileHeld) {
    const std::size_t handles = host.handles().OpenCount();
    {
        auto marker = CreateLiveMarker(host.platform(), kMarker);
        ASSERT_TRUE(marker) << marker.error().Display();
        const auto mutex = host.sync().FindMutex(kMarkerWide);
        ASSERT_TRUE(mutex);
        EXPECT_FALSE(mutex->IsOwned());
        auto security = winformat::SecurityDescriptor::ParseSelfRelative(mutex->security_descriptor);
        ASSERT_TRUE(security);
        EXPECT_EQ(security->owner, host.security().TokenUser());
        ASSERT_TRUE(security->dacl.acl());
        EXPECT_EQ(security->dacl.acl()->revision(), 2);
        EXPECT_EQ(security->dacl.acl()->aces(),
                  std::vector{winformat::Ace::Allowed(0x00100000, host.security().TokenUser())});
        EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::alive);
        EXPECT_EQ(host.handles().OpenCount(), handles + 1);  // the probe closed what it opened
    }
    EXPECT_EQ(ProbeLiveMarker(host.platform(), kMarker).value(), Liveness::dead);
    EXPECT_EQ(host.handles().OpenCount(), handles);
}

TEST_F(LiveMarker, SecondMarkerOfTheSameNameIsACollision) {
    auto first = CreateLiveMarker(host.platform(), kMarker);
    ASSERT_TRUE(first);
    EXPECT_EQ(CreateRefusal(), "live-marker identity collision; refusing an existing mutex");
    const auto planted = host.sync().PlantMutex(u"Global\\Telvo.Sandbox.ffffffffffffffffffffffffffffffff", {});
    EXPECT_EQ(CreateRefusal("Global\\Telvo.Sandbox.ffffffffffffffffffffffffffffffff"),
              "live-marker identity collision; refusing an existing mutex");
}

TEST_F(LiveMarker, NameMustBeGlobalAndNameAProfile) {
    EXPECT_EQ(CreateRefusal("Local\\Telvo.Sandbox.0123456789abcdef0123456789abcdef"),
              "live marker must use the global namespace");
    EXPECT_EQ(CreateRefusal("Telvo.Sandbox.0123456789abcdef0123456789abcdef"),
              "live marker must use the global namespace");
    EXPECT_EQ(CreateRefusal("Global\\Telvo.Sandbox.0123"), "invalid Telvo AppContainer profile name");
    EXPECT_EQ(host.faults().Count("OpenProcessToken"), 0u);
}

TEST_F(LiveMarker, TokenAndCreationFailuresAreNamed) {
    FailNext("OpenProcessToken", 5);
    EXPECT_EQ(CreateRefusal(), "OpenProcessToken(live marker) failed with Win32 error 5");
    FailNext("GetTokenInformation", 87);
    EXPECT_EQ(CreateRefusal(), "invalid live-marker account SID query (Win32 error 87)");
    host.faults().FailOn("GetTokenInformation", host.faults().Count("GetTokenInformation") + 2, SysError::Win32(8));
    EXPECT_EQ(CreateRefusal(), "GetTokenInformation(live-marker account) failed with Win32 error 8");
    FailNext("CreateMutexW", 1450);
    EXPECT_EQ(CreateRefusal(), "CreateMutexW(live marker) failed with Win32 error 1450");
    EXPECT_FALSE(host.sync().FindMutex(kMarkerWide));
}

TEST_F(LiveMarker, ProbeErrorsRetainTheJournal) {
    FailNext("OpenMutexW", 5);
    EXPECT_EQ(ProbeRefusal(), "could not establish sandbox liveness (Win32 error 5); recovery journal retained");
}

// OpenMutexW reporting success without a usable handle.
class NullHandleSync final : public platform::Sync {
public:
    explicit NullHandleSync(platform::Sync& inner) : inner_(inner) {}
    SysResult<platform::CreatedObject> CreateMutexExW(std::span<const std::uint8_t> d, bool i, const std::u16string& n,
                                                      std::uint32_t f, std::uint32_t a) override {
        return inner_.CreateMutexExW(d, i, n, f, a);
    }
    SysResult<platform::CreatedObject> CreateMutexW(std::span<const std::uint8_t> d, bool i, bool o,
                                                    const std::u16string& n) override {
        return inner_.CreateMutexW(d, i, o, n);
    }
    SysResult<platform::Handle> OpenMutexW(std::uint32_t, bool, const std::u16string&) override {
        return platform::kNullHandle;
    }
    SysResult<void> ReleaseMutex(platform::Handle h) override { return inner_.ReleaseMutex(h); }

private:
    platform::Sync& inner_;
};

TEST_F(LiveMarker, ProbeThatGetsNoHandleFails) {
    NullHandleSync sync(host.platform().sync);
    platform::Platform platform = host.platform();
    platform::Platform faulty{platform.kernel,   platform.console, platform.service,      platform.files,
                              sync,              platform.security, platform.appcontainer, platform.system};
    auto probe = ProbeLiveMarker(faulty, kMarker);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error().Display(), "OpenMutexW(live marker) failed with Win32 error 6");
}

}  // namespace
}  // namespace telvo::windows
