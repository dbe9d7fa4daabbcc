#pragma once

#include <cstddef>
#include <vector>

#include "common/poisonable_mutex.h"
#include "offline_network/lease_record.h"
#include "platform/unique_handle.h"

namespace telvo::network_broker {

// A lease the service registered in this process's life: its record, the
// duplicate of the client's Job, and the client process it belongs to.
struct ActiveLease {
    offline_network::LeaseRecord record;
    platform::UniqueHandle job;
    platform::UniqueHandle client_process;
};

// The broker's state, one per service process. Every field is read and
// written under `lock`; a poisoned lock means a holder panicked and the
// state must not be used ("broker admission lock poisoned").
struct BrokerState {
    PoisonableMutex lock;
    bool stopping = false;   // ends the serve loop
    bool accepting = false;  // Register is open
    bool quiesced = false;   // the quiesce control found no lease
    std::size_t lease_count = 0;  // active plus retained, as of the last change or sweep
    std::vector<ActiveLease> active;                       // in registration order
    std::vector<offline_network::LeaseRecord> retained;    // same-boot leases found at start
    std::string boot_id;                                   // the current boot's identity
};

}  // namespace telvo::network_broker
