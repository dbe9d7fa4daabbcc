#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/processes.h"

namespace telvo::platform::win32 {

class Win32Processes final : public Processes {
public:
    Win32Processes();
    ~Win32Processes() override;

    SysResult<Handle> CreateJobObjectW() override;
    SysResult<void> SetInformationJobObject(Handle job, std::uint32_t information_class,
                                            std::span<const std::uint8_t> information) override;
    SysResult<std::uint32_t> QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                       std::span<std::uint8_t> buffer) override;
    SysResult<void> TerminateJobObject(Handle job, std::uint32_t exit_code) override;
    SysResult<Handle> CreateThread(std::function<void()> start) override;
    SysResult<void> SetThreadDescription(Handle thread, const std::u16string& description) override;

    SysResult<AttributeList> InitializeProcThreadAttributeList(std::uint32_t attribute_count, std::size_t size,
                                                               std::size_t& size_needed) override;
    SysResult<void> UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                              const ProcThreadAttributeValue& value) override;
    void DeleteProcThreadAttributeList(AttributeList list) override;
    SysResult<ProcessInformation> CreateProcessW(const CreateProcessParameters& parameters) override;
    SysResult<std::uint32_t> ResumeThread(Handle thread) override;
    SysResult<std::uint32_t> GetExitCodeProcess(Handle process) override;
    SysResult<void> TerminateProcess(Handle process, std::uint32_t exit_code) override;
    SysResult<std::uint32_t> GetProcessId(Handle process) override;
    SysResult<std::u16string> QueryFullProcessImageNameW(Handle process) override;
    std::uint32_t GetCurrentProcessId() override;
    SysResult<Handle> OpenProcess(std::uint32_t desired_access, std::uint32_t process_id) override;
    SysResult<Handle> DuplicateHandle(Handle source_process, Handle source, std::uint32_t desired_access,
                                      std::uint32_t options) override;
    SysResult<ProcessTimes> GetProcessTimes(Handle process) override;
    SysResult<bool> IsProcessInJob(Handle process, Handle job) override;
    SysResult<std::uint32_t> GetHandleInformation(Handle handle) override;
    SysResult<void> SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) override;

private:
    struct ListStorage;

    std::mutex lists_mutex_;
    std::map<std::uint64_t, std::unique_ptr<ListStorage>> lists_;
    std::uint64_t next_list_ = 1;
};

}  // namespace telvo::platform::win32
