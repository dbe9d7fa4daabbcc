// Process creation: attribute lists and CreateProcessW (see sim_processes.h
// for what the simulated host assumes about them).
#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/kernel.h"
#include "platform/sim/sim_host.h"
#include "winformat/text.h"
#include "winformat/little_endian.h"
#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

namespace {

// The size InitializeProcThreadAttributeList asks for: a 24-byte header and
// 24 bytes an attribute, as on x64.
std::size_t AttributeListSize(std::uint32_t attribute_count) { return 24 + std::size_t{24} * attribute_count; }

// UpdateProcThreadAttribute checks each attribute's size against its payload
// type: a value of another type has the wrong size.
std::optional<std::uint32_t> AttributeValueError(std::uint32_t attribute, const ProcThreadAttributeValue& value) {
    switch (attribute) {
        case proc_thread_attribute::kHandleList:
        case proc_thread_attribute::kJobList: {
            const auto* handles = std::get_if<std::vector<Handle>>(&value);
            if (handles == nullptr || handles->empty()) return win32_error::kBadLength;
            return std::nullopt;
        }
        case proc_thread_attribute::kSecurityCapabilities:
            if (!std::holds_alternative<SecurityCapabilities>(value)) return win32_error::kBadLength;
            return std::nullopt;
        case proc_thread_attribute::kAllApplicationPackagesPolicy:
            if (!std::holds_alternative<std::uint32_t>(value)) return win32_error::kBadLength;
            return std::nullopt;
        default:
            return win32_error::kNotSupported;
    }
}

// The environment block as the new process reads it: without
// CREATE_UNICODE_ENVIRONMENT Windows takes the block for ANSI text, one
// character a byte.
std::vector<std::u16string> ReadEnvironment(const std::u16string& block, bool unicode) {
    std::u16string text;
    if (unicode) {
        text = block;
    } else {
        for (const char16_t unit : block) {
            text.push_back(static_cast<char16_t>(unit & 0xFF));
            text.push_back(static_cast<char16_t>(unit >> 8));
        }
    }
    std::vector<std::u16string> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(u'\0', start), text.size());
        if (end == start) break;  // the empty entry that ends the block
        entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

// The command line's UNICODE_STRING holds its terminating NUL in at most
// 65535 bytes: 32766 units of text at most. Longer, the creation fails with
// STATUS_NAME_TOO_LONG, ERROR_FILENAME_EXCED_RANGE (assumed; the code is
// unconfirmed).
constexpr std::size_t kMaxCommandLineText = 32766;

// cmd.exe takes a current directory that begins with \\ (the verbatim
// \\?\C:\... form too) for a UNC path: it says so on its standard error and
// runs in the Windows directory (windows-notes 8.7a).
bool IsCommandProcessor(std::u16string_view application) {
    const std::size_t slash = application.rfind(u'\\');
    return winformat::EqualIgnoringCase(slash == std::u16string_view::npos ? application : application.substr(slash + 1),
                                        u"cmd.exe");
}

std::string UncDirectoryWarning(const std::u16string& directory) {
    std::string warning(1, '\'');
    warning.append(winformat::Utf16ToDisplay(directory))
        .append("'\r\nCMD.EXE was started with the above path as the current directory.\r\n"
                "UNC paths are not supported.  Defaulting to Windows directory.\r\n");
    return warning;
}

}  // namespace

SysResult<AttributeList> SimProcesses::InitializeProcThreadAttributeList(std::uint32_t attribute_count,
                                                                       std::size_t size, std::size_t& size_needed) {
    TELVO_SIM_ENTER(host_, "InitializeProcThreadAttributeList", {attribute_count, size});
    size_needed = AttributeListSize(attribute_count);
    if (size < size_needed) return Win32Failure(win32_error::kInsufficientBuffer);
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_list_++;
    lists_.emplace(id, PendingList{attribute_count, {}});
    return AttributeList{id};
}

SysResult<void> SimProcesses::UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                                        const ProcThreadAttributeValue& value) {
    TELVO_SIM_ENTER(host_, "UpdateProcThreadAttribute", {attribute});
    std::lock_guard lock(mutex_);
    const auto found = lists_.find(static_cast<std::uint64_t>(list));
    if (found == lists_.end()) return Win32Failure(win32_error::kInvalidParameter);
    if (auto error = AttributeValueError(attribute, value)) return Win32Failure(*error);
    // A list holds no more attributes than it was made for (Wine's error;
    // Windows' is unconfirmed).
    if (found->second.attributes.size() >= found->second.capacity) return Win32Failure(win32_error::kGenFailure);
    found->second.attributes.emplace_back(attribute, value);
    return {};
}

void SimProcesses::DeleteProcThreadAttributeList(AttributeList list) {
    (void)host_.Enter("DeleteProcThreadAttributeList");
    std::lock_guard lock(mutex_);
    lists_.erase(static_cast<std::uint64_t>(list));
}

SysResult<ProcessInformation> SimProcesses::CreateProcessW(const CreateProcessParameters& parameters) {
    const StartupInfoEx& startup = parameters.startup_info;
    TELVO_SIM_ENTER(host_, "CreateProcessW",
                    {parameters.inherit_handles ? 1u : 0u, parameters.creation_flags, startup.cb, startup.flags});
    const bool extended = (parameters.creation_flags & creation_flag::kExtendedStartupInfoPresent) != 0;
    if (extended && startup.cb != startup_info_layout::kExtendedSize) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    if (parameters.command_line.size() > kMaxCommandLineText) return Win32Failure(win32_error::kFilenameExcedRange);

    // The attributes count only with EXTENDED_STARTUPINFO_PRESENT: without
    // it the record is a plain STARTUPINFOW and the list is never read.
    const SecurityCapabilities* capabilities = nullptr;
    std::uint32_t packages_policy = 0;
    const std::vector<Handle>* handle_list = nullptr;
    const std::vector<Handle>* job_list = nullptr;
    std::vector<ProcessStep> script;
    {
        std::lock_guard lock(mutex_);
        auto program = ScriptFor(parameters.command_line);
        if (!program) return Win32Failure(win32_error::kFileNotFound);
        script = std::move(*program);
        if (extended && startup.attribute_list) {
            const auto found = lists_.find(static_cast<std::uint64_t>(*startup.attribute_list));
            if (found == lists_.end()) return Win32Failure(win32_error::kInvalidParameter);
            for (const auto& [attribute, value] : found->second.attributes) {
                if (attribute == proc_thread_attribute::kSecurityCapabilities) {
                    capabilities = &std::get<SecurityCapabilities>(value);
                } else if (attribute == proc_thread_attribute::kAllApplicationPackagesPolicy) {
                    packages_policy = std::get<std::uint32_t>(value);
                } else if (attribute == proc_thread_attribute::kHandleList) {
                    handle_list = &std::get<std::vector<Handle>>(value);
                } else if (attribute == proc_thread_attribute::kJobList) {
                    job_list = &std::get<std::vector<Handle>>(value);
                }
            }
        }
    }
    // The list's values stay put: the caller cannot delete the list while
    // this call runs, as on Windows.

    ProcessImage image;
    image.parent_id = host_.caller().id();
    image.command_line = parameters.command_line;
    image.creation_flags = parameters.creation_flags;
    image.environment = ReadEnvironment(parameters.environment,
                                        (parameters.creation_flags & creation_flag::kUnicodeEnvironment) != 0);
    image.current_directory = parameters.current_directory;
    if (IsCommandProcessor(parameters.application_name) && image.current_directory.starts_with(u"\\\\")) {
        const std::string warning = UncDirectoryWarning(image.current_directory);
        script.insert(script.begin(), step::HostCall{[this, warning](SimProcess& started) {
                          WriteOutput(started, warning, started.image().std_error);
                      }});
        image.current_directory = host_.system().WindowsDirectory();
    }
    // Without STARTF_USESTDHANDLES the simulated child has no standard
    // handles (a console would hand down its own).
    if ((startup.flags & startup_flag::kUseStdHandles) != 0) {
        image.std_input = startup.std_input;
        image.std_output = startup.std_output;
        image.std_error = startup.std_error;
    }

    // Inheritance: every inheritable handle, or exactly the listed ones.
    const ProcessAssumptions& assumptions = CurrentProcessAssumptions();
    if (handle_list != nullptr) {
        if (!parameters.inherit_handles && assumptions.handle_list_without_inheritance_fails) {
            return Win32Failure(win32_error::kInvalidParameter);
        }
        if (parameters.inherit_handles) {
            for (const Handle handle : *handle_list) {
                auto object = host_.handles().Find(handle);
                if (!object) return Win32Failure(win32_error::kInvalidHandle);
                if ((host_.handles().Flags(handle).value_or(0) & handle_flag::kInherit) == 0) {
                    if (assumptions.non_inheritable_listed_handle_fails) {
                        return Win32Failure(win32_error::kInvalidParameter);
                    }
                    continue;
                }
                image.handles.emplace(handle, std::move(object));
            }
        }
    } else if (parameters.inherit_handles) {
        image.handles = host_.handles().WithFlag(handle_flag::kInherit);
    }

    std::vector<std::shared_ptr<SimJob>> jobs;
    if (job_list != nullptr) {
        for (const Handle handle : *job_list) {
            auto job = host_.handles().FindAs<SimJob>(handle);
            if (!job) return Win32Failure(win32_error::kInvalidHandle);
            if (!host_.handles().Holds(handle, job_access::kAssignProcess)) return Win32Failure(win32_error::kAccessDenied);
            jobs.push_back(std::move(job));
        }
    }

    // The creator is the simulated process: its token is the new process's.
    image.token = host_.security().ProcessToken();
    if (capabilities != nullptr) {
        std::vector<TokenGroup> granted;
        for (const auto& capability : capabilities->capabilities) granted.push_back({capability.sid, capability.attributes});
        image.token = SimToken::AppContainerFrom(image.token, capabilities->app_container_sid, std::move(granted),
                                                 packages_policy == kAllApplicationPackagesOptOut);
    }

    auto process = NewProcess(std::move(image), std::move(script));
    // The process is in its jobs before its first instruction.
    if (auto entered = EnterJobs(process, jobs); !entered) return std::unexpected(entered.error());
    const bool suspended = (parameters.creation_flags & creation_flag::kSuspended) != 0;
    auto thread = std::make_shared<SimProcessThread>(process, NextId(), suspended ? 1u : 0u);
    ProcessInformation information{host_.handles().Add(process, process_access::kAll),
                                   host_.handles().Add(thread, thread_access::kAll), process->id(), thread->id()};
    if (!suspended) Run(process);
    return information;
}

}  // namespace telvo::platform::sim
