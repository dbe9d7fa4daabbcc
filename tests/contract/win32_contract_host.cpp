// The contract host on the real Windows API (run under Wine by the test
// command). Planting goes straight to Windows; observing goes through the seam.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "contract/contract_host.h"
#include "platform/win32/win32_platform.h"

namespace telvo::contract {

namespace {

const wchar_t* W(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::u16string FinalPath(const std::u16string& path) {
    HANDLE handle = CreateFileW(W(path), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    wchar_t buffer[1024];
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, 1024, 0);
    CloseHandle(handle);
    if (length == 0 || length >= 1024) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

// REPARSE_DATA_BUFFER for a mount point (junction), laid out by hand: the
// mingw headers keep the structure in the driver kit.
bool SetJunction(HANDLE directory, const std::u16string& target) {
    const std::u16string substitute = u"\\??\\" + (target.rfind(u"\\\\?\\", 0) == 0 ? target.substr(4) : target);
    const std::u16string print = target.rfind(u"\\\\?\\", 0) == 0 ? target.substr(4) : target;
    const auto substitute_bytes = static_cast<WORD>(substitute.size() * 2);
    const auto print_bytes = static_cast<WORD>(print.size() * 2);
    const WORD path_buffer_bytes = static_cast<WORD>(substitute_bytes + 2 + print_bytes + 2);
    std::vector<BYTE> buffer(8 + 8 + path_buffer_bytes, 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(&buffer[0], &tag, 4);
    const WORD data_length = static_cast<WORD>(8 + path_buffer_bytes);
    std::memcpy(&buffer[4], &data_length, 2);
    const WORD substitute_offset = 0, print_offset = static_cast<WORD>(substitute_bytes + 2);
    std::memcpy(&buffer[8], &substitute_offset, 2);
    std::memcpy(&buffer[10], &substitute_bytes, 2);
    std::memcpy(&buffer[12], &print_offset, 2);
    std::memcpy(&buffer[14], &print_bytes, 2);
    std::memcpy(&buffer[16], substitute.data(), substitute_bytes);
    std::memcpy(&buffer[16 + print_offset], print.data(), print_bytes);
    DWORD returned = 0;
    return DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                           nullptr, 0, &returned, nullptr) != 0;
}

// The token's data of one class, in pointer-aligned storage.
std::vector<std::uint64_t> TokenData(HANDLE token, TOKEN_INFORMATION_CLASS information_class) {
    DWORD needed = 0;
    GetTokenInformation(token, information_class, nullptr, 0, &needed);
    std::vector<std::uint64_t> storage((needed + 7) / 8 + 1);
    if (!GetTokenInformation(token, information_class, storage.data(), needed, &needed)) return {};
    return storage;
}

winformat::Sid SidOf(PSID sid) {
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    return winformat::Sid::FromBytes(std::span(bytes, GetLengthSid(sid))).value();
}

platform::sim::TokenIdentity RealProcessIdentity() {
    platform::sim::TokenIdentity identity;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return identity;
    auto user = TokenData(token, TokenUser);
    if (!user.empty()) identity.user = SidOf(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    auto groups = TokenData(token, TokenGroups);
    if (!groups.empty()) {
        const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < list->GroupCount; ++i) {
            identity.groups.push_back({SidOf(list->Groups[i].Sid), list->Groups[i].Attributes});
        }
    }
    auto label = TokenData(token, TokenIntegrityLevel);
    if (!label.empty()) {
        const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
        identity.integrity_rid = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u);
    }
    auto policy = TokenData(token, TokenMandatoryPolicy);
    if (!policy.empty()) identity.mandatory_policy = reinterpret_cast<TOKEN_MANDATORY_POLICY*>(policy.data())->Policy;
    auto privileges = TokenData(token, TokenPrivileges);
    if (!privileges.empty()) {
        const auto* list = reinterpret_cast<TOKEN_PRIVILEGES*>(privileges.data());
        for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
            if ((list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) == 0) continue;
            wchar_t name[128];
            DWORD length = 128;
            LUID luid = list->Privileges[i].Luid;
            if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) continue;
            std::string ascii;
            for (DWORD c = 0; c < length; ++c) ascii.push_back(static_cast<char>(name[c]));
            identity.enabled_privileges.insert(ascii);
        }
    }
    CloseHandle(token);
    return identity;
}

// Reads exactly `size` bytes from a synchronous pipe handle.
bool ReadAll(HANDLE pipe, char* data, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD read = 0;
        if (!ReadFile(pipe, data + done, size - done, &read, nullptr) || read == 0) return false;
        done += read;
    }
    return true;
}

// One instance: connect, read a frame, answer, let the client drain, close.
void ServeOnce(HANDLE pipe, std::string reply) {
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        unsigned char prefix[4];
        if (ReadAll(pipe, reinterpret_cast<char*>(prefix), 4)) {
            const DWORD length = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | static_cast<DWORD>(prefix[3]) << 24;
            std::vector<char> body(length);
            DWORD written = 0;
            if (length <= 16384 && ReadAll(pipe, body.data(), length) &&
                WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr)) {
                FlushFileBuffers(pipe);
            }
        }
    }
    CloseHandle(pipe);
}

class Win32ContractHost final : public ContractHost {
public:
    ~Win32ContractHost() override {
        for (std::thread& server : servers_) server.join();
        for (const std::u16string& name : services_) {
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            if (manager == nullptr) continue;
            if (SC_HANDLE service = OpenServiceW(manager, W(name), DELETE)) {
                DeleteService(service);
                CloseServiceHandle(service);
            }
            CloseServiceHandle(manager);
        }
    }

    platform::Platform& platform() override { return platform::win32::Win32Platform(); }
    const char* name() const override { return "win32"; }

    std::u16string ScratchDirectory() override {
        static std::atomic<unsigned> counter{0};
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        if (length == 0) return {};
        std::u16string base(reinterpret_cast<const char16_t*>(temp), length);
        // Process ids repeat between runs in one prefix: skip names taken earlier.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const std::string leaf = "telvo-contract-" + std::to_string(GetCurrentProcessId()) + "-" +
                                     std::to_string(counter++);
            const std::u16string path = base + std::u16string(leaf.begin(), leaf.end());
            if (CreateDirectoryW(W(path), nullptr)) return FinalPath(path);
            if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
        }
        return {};
    }

    bool MakeDirectory(const std::u16string& path) override { return CreateDirectoryW(W(path), nullptr) != 0; }

    bool MakeFile(const std::u16string& path, const std::string& bytes) override {
        HANDLE handle = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        const bool ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size();
        CloseHandle(handle);
        return ok;
    }

    bool MakeHardLink(const std::u16string& existing, const std::u16string& link) override {
        return CreateHardLinkW(W(link), W(existing), nullptr) != 0;
    }

    bool MakeJunction(const std::u16string& path, const std::u16string& target) override {
        if (!CreateDirectoryW(W(path), nullptr)) return false;
        HANDLE handle = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        const bool ok = SetJunction(handle, target);
        CloseHandle(handle);
        if (!ok) RemoveDirectoryW(W(path));
        return ok;
    }

    bool Rename(const std::u16string& from, const std::u16string& to) override {
        return MoveFileExW(W(from), W(to), 0) != 0;
    }

    bool PlantDescriptor(const std::u16string& path, std::span<const std::uint8_t> descriptor) override {
        std::vector<std::uint8_t> writable(descriptor.begin(), descriptor.end());
        const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION;
        return SetFileSecurityW(W(path), parts, writable.data()) != 0;
    }

    bool PlantRegistryValue(const std::u16string& sub_key, const std::u16string& value_name, std::uint32_t type,
                            std::span<const std::uint8_t> data) override {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, W(sub_key), W(value_name), type, data.data(),
                               static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    }

    bool SetEnvironmentEntry(const std::u16string& name, const std::u16string& value) override {
        return SetEnvironmentVariableW(W(name), W(value)) != 0;
    }

    platform::sim::TokenIdentity ProcessIdentity() override { return RealProcessIdentity(); }

    bool SetStandardHandle(platform::StdStream stream, platform::Handle handle) override {
        if (!SetStdHandle(static_cast<DWORD>(stream), reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)))) return false;
        SetLastError(ERROR_ACCESS_DENIED);
        return true;
    }

    void DefineCommand(const std::u16string&, const std::string&, std::optional<std::uint32_t>) override {}

    std::optional<ServedPipe> ServePipe(const std::u16string& name, const std::string& reply) override {
        HANDLE pipe = CreateNamedPipeW(W(name), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       65536, 65536, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return std::nullopt;
        servers_.emplace_back(ServeOnce, pipe, reply);
        HANDLE token = nullptr;
        std::optional<winformat::Sid> owner;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            auto data = TokenData(token, TokenOwner);
            if (!data.empty()) owner = SidOf(reinterpret_cast<TOKEN_OWNER*>(data.data())->Owner);
            CloseHandle(token);
        }
        if (!owner) return std::nullopt;
        return ServedPipe{GetCurrentProcessId(), *owner};
    }

    bool InstallService(const std::u16string& name, const std::u16string& command_line) override {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
        if (manager == nullptr) return false;
        SC_HANDLE service = CreateServiceW(manager, W(name), W(name), 0, SERVICE_WIN32_OWN_PROCESS,
                                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, W(command_line), nullptr,
                                           nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr) {
            CloseServiceHandle(manager);
            return false;
        }
        CloseServiceHandle(service);
        services_.push_back(name);
        // Wine's service manager, on its first use in a prefix, may take a
        // moment before a new service opens by name.
        bool visible = false;
        // It must open through a connection of its own, as the test's does.
        CloseServiceHandle(manager);
        for (int attempt = 0; attempt < 200 && !visible; ++attempt) {
            SC_HANDLE fresh = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            if (fresh != nullptr) {
                if (SC_HANDLE opened = OpenServiceW(fresh, W(name), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | READ_CONTROL)) {
                    CloseServiceHandle(opened);
                    visible = true;
                }
                CloseServiceHandle(fresh);
            }
            if (!visible) Sleep(10);
        }
        return visible;
    }

    bool BecomeAdministrator() override {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        const BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
        CloseHandle(token);
        return ok && elevation.TokenIsElevated != 0;
    }

private:
    std::vector<std::thread> servers_;
    std::vector<std::u16string> services_;
};

}  // namespace

std::unique_ptr<ContractHost> MakeContractHost() { return std::make_unique<Win32ContractHost>(); }

}  // namespace telvo::contract
