#include "platform/sim/sim_registry.h"

#include <cstring>

#include "platform/sim/sim_object.h"
#include "platform/system.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

namespace {


// The RRF_RT_* bit that admits a value type (RRF_RT_REG_SZ is 1 << REG_SZ and so on).
std::uint32_t TypeBit(std::uint32_t type) { return type < 16 ? std::uint32_t{1} << type : 0; }

bool IsString(std::uint32_t type) { return type == registry_type::kSz || type == registry_type::kExpandSz; }

std::vector<std::uint8_t> AsReturned(const std::vector<std::uint8_t>& data, std::uint32_t type) {
    std::vector<std::uint8_t> returned = data;
    const bool terminated = data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 &&
                            data[data.size() - 2] == 0;
    if (IsString(type) && !terminated) returned.insert(returned.end(), {0, 0});
    return returned;
}

}  // namespace

std::u16string SimRegistry::Key(const std::u16string& sub_key, const std::u16string& value_name) {
    return winformat::Upcased(sub_key) + u'\0' + winformat::Upcased(value_name);
}

void SimRegistry::Set(const std::u16string& sub_key, const std::u16string& value_name, std::uint32_t type,
                      std::vector<std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    Value& value = values_[Key(sub_key, value_name)];
    value.type = type;
    value.pending.clear();
    value.sub_key = sub_key;
    value.value_name = value_name;
    Replace(value, std::move(data));
}

void SimRegistry::Replace(Value& value, std::vector<std::uint8_t> data) {
    changes_.Note([&] {
        return SimChange{SimChange::Kind::registry_value_set, value.sub_key + u"\\" + value.value_name, {},
                         value.data, data};
    });
    value.data = std::move(data);
}

std::vector<SimRegistryValue> SimRegistry::Values() const {
    std::lock_guard lock(mutex_);
    std::vector<SimRegistryValue> all;
    for (const auto& [key, value] : values_) all.push_back({value.sub_key, value.value_name, value.type, value.data});
    return all;
}

void SimRegistry::QueueChange(const std::u16string& sub_key, const std::u16string& value_name,
                              std::vector<std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    values_[Key(sub_key, value_name)].pending.push_back(std::move(data));
}

SysResult<void> SimRegistry::Get(std::uint32_t predefined_key, const std::u16string& sub_key,
                                 const std::u16string& value_name, std::uint32_t flags, std::uint32_t& type,
                                 std::span<std::uint8_t> data, std::uint32_t& data_size) {
    using namespace registry_flag;
    type = registry_type::kNone;
    if (predefined_key != registry_key::kLocalMachine) return Win32Failure(win32_error::kInvalidHandle);
    if ((flags & kRtAny) == 0 || ((flags & kRtRegExpandSz) && !(flags & kNoExpand)) ||
        ((flags & kSubkeyWow6464Key) && (flags & kSubkeyWow6432Key))) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    std::lock_guard lock(mutex_);
    auto it = values_.find(Key(sub_key, value_name));
    if ((flags & kSubkeyWow6432Key) || it == values_.end()) return Win32Failure(win32_error::kFileNotFound);
    Value& value = it->second;
    if (!(flags & TypeBit(value.type))) return Win32Failure(win32_error::kUnsupportedType);
    const std::vector<std::uint8_t> returned = AsReturned(value.data, value.type);
    if (!value.pending.empty()) {
        Replace(value, std::move(value.pending.front()));
        value.pending.pop_front();
    }
    type = value.type;
    data_size = static_cast<std::uint32_t>(returned.size());
    if (data.data() == nullptr) return {};
    if (data.size() < returned.size()) return Win32Failure(win32_error::kMoreData);
    std::memcpy(data.data(), returned.data(), returned.size());
    return {};
}

std::vector<std::uint8_t> RegistryStringBytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

}  // namespace telvo::platform::sim
