#pragma once

// A prepared host for whole offline runs against the offline-network service
// itself: the service installed as its installer leaves it, the offline
// layout in the filtering engine, and the service started by the Service
// Control Manager in a LocalSystem process of its own. The runs are the
// interactive user's, in the host's first process.

#include <string>
#include <vector>

#include "network_broker/service_test_host.h"
#include "offline_network/lease_filter.h"
#include "offline_network/offline_layout.h"
#include "run_fixture.h"

namespace telvo::windows::testing {

class OfflineRunTest : public RunOrchestrationTest {
protected:
    OfflineRunTest() {
        broker.InstallLayout();
        StartService();
        run.network_access = false;
    }

    void StartService() {
        EXPECT_TRUE(broker.Start());
        EXPECT_TRUE(broker.WaitForState(platform::service_state::kRunning)) << ::testing::PrintToString(
            broker.EventMessages());
    }

    // The lease filters the filtering engine holds now (read as the test
    // sees the engine: no seam call, no transaction).
    std::vector<platform::WfpFilter> LeaseFilters() {
        std::vector<platform::WfpFilter> filters;
        for (auto& filter : host.wfp().Filters()) {
            if (filter.provider_key == offline_network::kProviderKey) filters.push_back(std::move(filter));
        }
        return filters;
    }
    // Those that block `package`.
    std::vector<platform::WfpFilter> LeaseFiltersOf(const Sid& package) {
        std::vector<platform::WfpFilter> filters;
        for (auto& filter : LeaseFilters()) {
            const auto& conditions = filter.filter_condition;
            if (conditions && conditions->size() == 1 &&
                std::equal(package.bytes().begin(), package.bytes().end(), (*conditions)[0].condition_value.sid.begin(),
                           (*conditions)[0].condition_value.sid.end())) {
                filters.push_back(std::move(filter));
            }
        }
        return filters;
    }

    // A power loss and the boot after it: every process gone (the service's
    // first, then the user's, whose kill-on-close Jobs end their commands),
    // the filtering engine back with its persistent objects only, in a new
    // boot; then the Service Control Manager starts the service again.
    void PowerLossAndBoot() {
        host.service().EndServiceProcesses();
        NextProcess();
        host.processes().JoinThreads();
        host.wfp().Reboot();
        StartService();
    }

    network_broker::testing::OfflineServiceOn broker{host};
};

}  // namespace telvo::windows::testing
