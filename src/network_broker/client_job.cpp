#include "network_broker/client_job.h"

#include <string>
#include <vector>

#include "common/try.h"
#include "winformat/little_endian.h"

namespace telvo::network_broker {

namespace {

using namespace platform;

constexpr std::uint64_t kInvalidHandleValue = ~std::uint64_t{0};
constexpr std::uint32_t kRequiredJobAccess = job_access::kQuery | job_access::kTerminate;
constexpr std::uint32_t kBreakawayFlags = job_limit::kBreakawayOk | job_limit::kSilentBreakawayOk;

}  // namespace

Result<UniqueHandle> DuplicateClientJob(Platform& platform, Handle client_process, std::uint64_t job_handle) {
    if (job_handle == 0 || job_handle == kInvalidHandleValue) return Fail("invalid client job handle");
    TELVO_TRY_ASSIGN(const Handle duplicated,
                     Lift("DuplicateHandle(client job, SAME_ACCESS)",
                          platform.processes.DuplicateHandle(client_process, Handle{job_handle}, 0,
                                                             duplicate_option::kSameAccess)));
    UniqueHandle job(platform.kernel, duplicated);
    auto basic = platform.kernel.NtQueryObject(job.get());
    if (!basic || (basic->granted_access & kRequiredJobAccess) != kRequiredJobAccess) {
        const std::uint32_t status = basic ? 0 : basic.error().code;
        return Fail("client job handle must already grant QUERY and TERMINATE (NTSTATUS " + Hex32(status) + ")");
    }
    std::vector<std::uint8_t> limits(job_layout::kExtendedLimitSize, 0);
    TELVO_TRY(Lift("QueryInformationJobObject(client job limits)",
                   platform.processes.QueryInformationJobObject(job.get(), job_information::kExtendedLimit, limits)));
    const std::uint32_t flags = winformat::le::Read32(limits, job_layout::kLimitFlagsOffset);
    if ((flags & (job_limit::kKillOnJobClose | kBreakawayFlags)) != job_limit::kKillOnJobClose) {
        return Fail("client job must kill on close and prohibit breakaway");
    }
    return job;
}

Result<std::uint32_t> JobActiveProcesses(Platform& platform, Handle job, const char* operation) {
    std::vector<std::uint8_t> accounting(job_layout::kBasicAccountingSize, 0);
    TELVO_TRY(Lift(operation, platform.processes.QueryInformationJobObject(job, job_information::kBasicAccounting,
                                                                            accounting)));
    return winformat::le::Read32(accounting, job_layout::kActiveProcessesOffset);
}

Result<void> EmptyLeaseJob(Platform& platform, Handle job) {
    constexpr char kAccounting[] = "QueryInformationJobObject(lease accounting)";
    TELVO_TRY_ASSIGN(std::uint32_t active, JobActiveProcesses(platform, job, kAccounting));
    if (active == 0) return {};
    TELVO_TRY(Lift("TerminateJobObject(offline lease)", platform.processes.TerminateJobObject(job, kLeaseJobExitCode)));
    const std::uint64_t deadline = platform.kernel.GetTickCount64() + kJobEmptyLimitMs;
    for (;;) {
        TELVO_TRY_ASSIGN(active, JobActiveProcesses(platform, job, kAccounting));
        if (active == 0) return {};
        if (platform.kernel.GetTickCount64() >= deadline) {
            return Fail("offline lease job did not become empty; filters retained");
        }
        platform.kernel.Sleep(kJobEmptyPollMs);
    }
}

}  // namespace telvo::network_broker
