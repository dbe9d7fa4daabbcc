#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_registry.h"
#include "platform/system.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

class SimHost;

struct SimAccount {
    std::u16string name;
    winformat::Sid sid;
};

// Machine facts of the simulated host. Random bytes come from a seedable
// deterministic generator, so that a test can predict them.
class SimSystem final : public System {
public:
    // The registry starts with what a fresh installation holds of what the
    // system reads: ProfilesDirectory is REG_EXPAND_SZ "%SystemDrive%\Users".
    explicit SimSystem(SimHost& host);

    // Where the random numbers of a new host start.
    static constexpr std::uint64_t kDefaultRandomState = 0x7e1f0c0ffee5eed5;

    SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) override;
    SysResult<std::uint32_t> GetSystemWindowsDirectoryW(std::span<char16_t> buffer) override;
    SysResult<std::uint32_t> GetSystemDirectoryW(std::span<char16_t> buffer) override;
    SysResult<void> RegGetValueW(std::uint32_t predefined_key, const std::u16string& sub_key,
                                 const std::u16string& value_name, std::uint32_t flags, std::uint32_t& type,
                                 std::span<std::uint8_t> data, std::uint32_t& data_size) override;
    // Knows LocalAppData and Profile only; any other folder is HRESULT
    // 0x80070002, as for a folder that does not exist on the machine.
    SysResult<std::u16string> SHGetKnownFolderPath(const KnownFolderId& folder, std::uint32_t flags) override;

    // Test side.
    void SeedRandom(std::uint64_t seed) { random_state_ = seed; }
    // The generator's state, to go on from in a later host (SeedRandom).
    std::uint64_t RandomState() const { return random_state_; }
    void SetLocalAppData(std::u16string path) { local_app_data_ = std::move(path); }
    // The LocalAppData known folder of the current user.
    const std::u16string& LocalAppData() const { return local_app_data_; }
    // The OS Windows directory, as GetSystemWindowsDirectoryW reports it.
    void SetWindowsDirectory(std::u16string path) { windows_directory_ = std::move(path); }
    // The system directory, as GetSystemDirectoryW reports it.
    void SetSystemDirectory(std::u16string path) { system_directory_ = std::move(path); }
    // The Profile known folder (the account's home) of the current user.
    void SetProfile(std::u16string path) { profile_ = std::move(path); }
    const std::u16string& Profile() const { return profile_; }
    const std::u16string& WindowsDirectory() const { return windows_directory_; }
    const std::u16string& SystemDirectory() const { return system_directory_; }
    // The account names of the machine: the current user's, and the others
    // a host description names. No seam call looks names up; they are kept
    // so that a host written out reads back the same.
    void SetUserName(std::u16string name) { user_name_ = std::move(name); }
    const std::u16string& UserName() const { return user_name_; }
    void SetAccounts(std::vector<SimAccount> accounts) { accounts_ = std::move(accounts); }
    const std::vector<SimAccount>& Accounts() const { return accounts_; }
    SimRegistry& registry() { return registry_; }

private:
    std::uint64_t NextRandom();

    SimHost& host_;
    std::uint64_t random_state_ = kDefaultRandomState;
    std::u16string local_app_data_ = u"C:\\Users\\tester\\AppData\\Local";
    std::u16string windows_directory_ = u"C:\\Windows";
    std::u16string system_directory_ = u"C:\\Windows\\System32";
    std::u16string profile_ = u"C:\\Users\\tester";
    std::u16string user_name_ = u"tester";
    std::vector<SimAccount> accounts_;
    SimRegistry registry_;
};

}  // namespace telvo::platform::sim
