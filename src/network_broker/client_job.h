#pragma once

#include <cstdint>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::network_broker {

// The sandbox Job a client names by its own handle value, duplicated into
// the service with the access the client's handle has. That handle must
// already grant JOB_OBJECT_QUERY and JOB_OBJECT_TERMINATE, and the Job must
// kill its processes when its last handle closes and let none break away.
Result<platform::UniqueHandle> DuplicateClientJob(platform::Platform& platform, platform::Handle client_process,
                                                  std::uint64_t job_handle);

// The Job's active processes (basic accounting); `operation` names a failure.
Result<std::uint32_t> JobActiveProcesses(platform::Platform& platform, platform::Handle job, const char* operation);

// Ends whatever still runs in a lease's Job: terminated with exit code 125,
// then its accounting polled every 10 ms for at most 5 s. Fails, leaving the
// lease and its filters in place, when the Job does not become empty.
inline constexpr std::uint32_t kLeaseJobExitCode = 125;
inline constexpr std::uint32_t kJobEmptyPollMs = 10;
inline constexpr std::uint64_t kJobEmptyLimitMs = 5000;
Result<void> EmptyLeaseJob(platform::Platform& platform, platform::Handle job);

}  // namespace telvo::network_broker
