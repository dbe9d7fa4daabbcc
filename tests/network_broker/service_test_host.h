#pragma once

// The offline-network service installed and stopped on a simulated host,
// whose Service Control Manager starts this product's service in a
// LocalSystem process of its own; the test acts as an elevated
// administrator when it controls the service. OfflineServiceOn works on a
// host a test has prepared otherwise; ServiceTestHost brings its own.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "identity/profile.h"
#include "network_broker/broker_test_host.h"
#include "network_broker/service_main.h"
#include "offline_network/lease_record.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_test_host.h"
#include "offline_network/wfp_transaction.h"
#include "platform/sim/sim_token.h"
#include "winformat/text.h"

namespace telvo::network_broker::testing {

namespace service_state = platform::service_state;
namespace scm_access = platform::scm_access;
using platform::sim::SimHelperProcess;
using platform::sim::SimToken;

inline Sid AdministratorSid() { return Sid::Make(winformat::sid_authority::kNt, {21, 7, 8, 9, 500}); }

class OfflineServiceOn {
public:
    explicit OfflineServiceOn(SimHost& on)
        : host(on),
          admin_(host.StartHelperProcessAs(
              std::make_shared<const SimToken>(SimToken::InteractiveUser(AdministratorSid(), true, true)))),
          system_(host.StartHelperProcessAs(std::make_shared<const SimToken>(SimToken::LocalSystem()))) {
        InstallOfflineService(host);
        service().status = {};
        service().status.service_type = platform::service_type::kWin32OwnProcess;
        service().status.current_state = service_state::kStopped;
        host.service().SetProgram(kServiceName, [this] { (void)RunNetworkService(host.platform()); });
    }
    OfflineServiceOn(const OfflineServiceOn&) = delete;
    OfflineServiceOn& operator=(const OfflineServiceOn&) = delete;
    ~OfflineServiceOn() { host.service().EndServiceProcesses(); }

    platform::Platform& platform() { return host.platform(); }
    platform::sim::SimInstalledService& service() { return *host.service().Find(kServiceName); }
    platform::ServiceStatusProcess status() { return service().status; }

    // Runs `action` as the elevated administrator.
    template <class F>
    auto AsAdministrator(F&& action) {
        const auto binding = host.Bind(admin_);
        return action();
    }
    // Runs `action` as LocalSystem (a process of the host's, not the service).
    template <class F>
    auto AsSystem(F&& action) {
        const auto binding = host.Bind(system_);
        return action();
    }

    void InstallLayout() {
        AsSystem([&] { ASSERT_TRUE(offline_network::InstallOfflineLayout(platform())); });
    }
    // The record of lease `n` in the current boot.
    offline_network::LeaseRecord Record(std::uint32_t n) {
        return AsSystem([&] {
            offline_network::LeaseRecord record;
            char digits[40];
            std::snprintf(digits, sizeof digits, "%032x", static_cast<unsigned>(n));
            record.profile_name = std::string("Telvo.Sandbox.") + digits;
            record.package_sid =
                identity::DeriveProfileSid(platform().appcontainer, record.profile_name).value().ToString();
            record.owner_sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
            record.caller_pid = 4000 + n;
            record.caller_creation = 0x01DB2F5A6C3E8000 + n;
            record.boot_id = offline_network::ReadBootIdentity(platform().wfp).value();
            record.lease_id = offline_network::testing::TestUuid(n, 0);
            for (std::uint32_t slot = 0; slot < offline_network::kFilterSlots; ++slot) {
                record.filter_keys[slot] = offline_network::testing::TestUuid(n, slot + 1);
            }
            return record;
        });
    }
    offline_network::LeaseRecord InstallLease(std::uint32_t n) {
        offline_network::LeaseRecord record = Record(n);
        AsSystem([&] {
            auto installed = offline_network::InstallOfflineLease(platform(), record);
            EXPECT_TRUE(installed) << installed.error().Display();
        });
        return record;
    }
    // The leases the filtering engine holds, each filter validated.
    std::vector<offline_network::OfflineLease> Leases() {
        return AsSystem([&] {
            auto transaction = offline_network::WfpTransaction::Begin(platform().wfp).value();
            auto leases = offline_network::EnumerateOfflineLeases(platform(), transaction.engine());
            EXPECT_TRUE(leases) << leases.error().Display();
            return leases.value_or(std::vector<offline_network::OfflineLease>{});
        });
    }
    // The profiles whose leases the filtering engine holds.
    std::vector<std::string> LeasedProfiles() {
        std::vector<std::string> profiles;
        for (const auto& lease : Leases()) profiles.push_back(lease.record.profile_name);
        return profiles;
    }

    SysResult<void> Start() {
        return AsAdministrator([&]() -> SysResult<void> {
            auto& scm = platform().service;
            auto manager = scm.OpenSCManagerW(scm_access::kConnect);
            if (!manager) return std::unexpected(manager.error());
            platform::UniqueServiceHandle manager_handle(scm, *manager);
            auto opened = scm.OpenServiceW(*manager, kServiceName, platform::service_access::kAllAccess);
            if (!opened) return std::unexpected(opened.error());
            platform::UniqueServiceHandle service_handle(scm, *opened);
            return scm.StartServiceW(*opened);
        });
    }
    // ControlService as the administrator (or as the test's standard user).
    SysResult<platform::ServiceStatus> Control(std::uint32_t control, bool as_administrator = true) {
        auto send = [&]() -> SysResult<platform::ServiceStatus> {
            auto& scm = platform().service;
            auto manager = scm.OpenSCManagerW(scm_access::kConnect);
            if (!manager) return std::unexpected(manager.error());
            platform::UniqueServiceHandle manager_handle(scm, *manager);
            const std::uint32_t access = as_administrator ? platform::service_access::kAllAccess
                                                          : platform::service_access::kQueryStatus |
                                                                platform::service_access::kUserDefinedControl;
            auto opened = scm.OpenServiceW(*manager, kServiceName, access);
            if (!opened) return std::unexpected(opened.error());
            platform::UniqueServiceHandle service_handle(scm, *opened);
            return scm.ControlService(*opened, control);
        };
        if (as_administrator) return AsAdministrator(send);
        return send();
    }
    bool WaitForState(std::uint32_t state) {
        return host.service().WaitForStatus(kServiceName, [state](const platform::ServiceStatusProcess& status) {
            return status.current_state == state;
        });
    }
    bool WaitForStopped() { return WaitForState(service_state::kStopped); }
    std::vector<std::string> EventMessages() {
        std::vector<std::string> messages;
        for (const auto& event : host.service().Events()) {
            for (const auto& text : event.strings) messages.push_back(winformat::Utf16ToUtf8(text).value());
        }
        return messages;
    }

    SimHost& host;

private:
    SimHelperProcess& admin_;
    SimHelperProcess& system_;
};

// A host of its own with one volume and the service on it.
struct OwnedSimHost {
    OwnedSimHost() { owned_host.files().AddVolume({}); }
    SimHost owned_host;
};

class ServiceTestHost : private OwnedSimHost, public OfflineServiceOn {
public:
    ServiceTestHost() : OfflineServiceOn(owned_host) {}
};

}  // namespace telvo::network_broker::testing
