#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_change_log.h"

namespace telvo::platform::sim {

// Machine registry values under HKEY_LOCAL_MACHINE in the 64-bit view, read
// as RegGetValueW reads them. Only what the system asks for is modelled:
// - the key must be HKEY_LOCAL_MACHINE (another key: ERROR_INVALID_HANDLE);
//   the 32-bit view (RRF_SUBKEY_WOW6432KEY) holds nothing;
// - flags without a type restriction, RRF_RT_REG_EXPAND_SZ without
//   RRF_NOEXPAND (unless all of RRF_RT_ANY is given), or both view flags:
//   ERROR_INVALID_PARAMETER;
// - without RRF_NOEXPAND a REG_EXPAND_SZ value is expanded from the
//   caller's environment (%NAME% of a variable it has; any other text stays)
//   and handed out, sized and type-checked as REG_SZ, as the documented call
//   and Wine's implementation do: RRF_RT_REG_SZ alone takes such a value;
// - a missing key or value: ERROR_FILE_NOT_FOUND; a type the flags exclude
//   (after the expansion): ERROR_UNSUPPORTED_TYPE;
// - string data that does not end in a NUL unit is returned with one added,
//   and counted in the size, as RegGetValueW does;
// - without a buffer the call reports the size; with one too small it fails
//   with ERROR_MORE_DATA and reports the size needed.
// Names of keys and values compare ignoring case.
struct SimRegistryValue {
    std::u16string sub_key;  // as last set
    std::u16string value_name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// Every value set, by the test or by the other process of QueueChange, is a
// host change recorded in `changes`.
class SimRegistry {
public:
    explicit SimRegistry(SimChangeLog& changes) : changes_(changes) {}

    void Set(const std::u16string& sub_key, const std::u16string& value_name, std::uint32_t type,
             std::vector<std::uint8_t> data);
    // As if another process rewrote the value right after the next read of it.
    void QueueChange(const std::u16string& sub_key, const std::u16string& value_name, std::vector<std::uint8_t> data);

    // Test side: every value, ordered by key and name ignoring case.
    std::vector<SimRegistryValue> Values() const;

    // `environment`: the caller's "NAME=value" entries.
    SysResult<void> Get(std::uint32_t predefined_key, const std::u16string& sub_key, const std::u16string& value_name,
                        std::uint32_t flags, std::uint32_t& type, std::span<std::uint8_t> data,
                        std::uint32_t& data_size, const std::vector<std::u16string>& environment);

private:
    struct Value {
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
        std::deque<std::vector<std::uint8_t>> pending;
        std::u16string sub_key;
        std::u16string value_name;
    };
    static std::u16string Key(const std::u16string& sub_key, const std::u16string& value_name);
    // The value's data replaced; the registry's mutex is held.
    void Replace(Value& value, std::vector<std::uint8_t> data);

    SimChangeLog& changes_;
    mutable std::mutex mutex_;
    std::map<std::u16string, Value> values_;
};

// UTF-16 text as the bytes of a registry string, without a terminator.
std::vector<std::uint8_t> RegistryStringBytes(std::u16string_view text);

}  // namespace telvo::platform::sim
