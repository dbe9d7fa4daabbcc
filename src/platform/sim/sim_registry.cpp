#include "platform/sim/sim_registry.h"

#include <cstring>
#include <optional>

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

std::u16string Units(const std::vector<std::uint8_t>& bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return units;
}

std::optional<std::u16string> Variable(const std::vector<std::u16string>& environment, std::u16string_view name) {
    for (const auto& entry : environment) {
        const std::size_t equals = entry.find(u'=', 1);
        if (equals != std::u16string::npos && winformat::EqualIgnoringCase(entry.substr(0, equals), name)) {
            return entry.substr(equals + 1);
        }
    }
    return std::nullopt;
}

// ExpandEnvironmentStringsW over the returned data (its NUL included).
std::vector<std::uint8_t> Expanded(const std::vector<std::uint8_t>& data, const std::vector<std::u16string>& environment) {
    const std::u16string text = Units(data);
    std::u16string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text[at] == u'%' ? text.find(u'%', at + 1) : std::u16string::npos;
        if (end == std::u16string::npos) {
            out += text[at++];
            continue;
        }
        if (auto value = Variable(environment, std::u16string_view(text).substr(at + 1, end - at - 1))) {
            out += *value;
            at = end + 1;
        } else {
            // The closing '%' may open the next name.
            out.append(text, at, end - at);
            at = end;
        }
    }
    return RegistryStringBytes(out);
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
                                 std::span<std::uint8_t> data, std::uint32_t& data_size,
                                 const std::vector<std::u16string>& environment) {
    using namespace registry_flag;
    type = registry_type::kNone;
    if (predefined_key != registry_key::kLocalMachine) return Win32Failure(win32_error::kInvalidHandle);
    if ((flags & kRtAny) == 0 || ((flags & kRtRegExpandSz) && !(flags & kNoExpand) && (flags & kRtAny) != kRtAny) ||
        ((flags & kSubkeyWow6464Key) && (flags & kSubkeyWow6432Key))) {
        return Win32Failure(win32_error::kInvalidParameter);
    }
    std::lock_guard lock(mutex_);
    auto it = values_.find(Key(sub_key, value_name));
    if ((flags & kSubkeyWow6432Key) || it == values_.end()) return Win32Failure(win32_error::kFileNotFound);
    Value& value = it->second;
    std::vector<std::uint8_t> returned = AsReturned(value.data, value.type);
    std::uint32_t returned_type = value.type;
    if (value.type == registry_type::kExpandSz && !(flags & kNoExpand)) {
        returned = Expanded(returned, environment);
        returned_type = registry_type::kSz;
    }
    if (!(flags & TypeBit(returned_type))) return Win32Failure(win32_error::kUnsupportedType);
    if (!value.pending.empty()) {
        Replace(value, std::move(value.pending.front()));
        value.pending.pop_front();
    }
    type = returned_type;
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
