#pragma once

// The terms of the host file shared by its reader and its writer: the names
// of flags, kinds and states, and the text forms of descriptors and commands.

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "common/json.h"
#include "common/try.h"
#include "platform/file_constants.h"
#include "platform/service.h"
#include "platform/system.h"
#include "winformat/ordinal_case.h"
#include "winformat/sddl.h"
#include "winformat/text.h"

#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim::host_file_terms {


using json::Json;
using json::Node;
using json::ObjectReader;
namespace sim = platform::sim;
using Kind = sim::SimObjectRecord::Kind;

struct Named {
    std::string_view name;
    std::uint32_t value;
};

inline constexpr std::array kVolumeFlags{
    Named{"caseSensitiveSearch", platform::volume_flag::kCaseSensitiveSearch},
    Named{"casePreservedNames", platform::volume_flag::kCasePreservedNames},
    Named{"unicodeOnDisk", platform::volume_flag::kUnicodeOnDisk},
    Named{"persistentAcls", platform::volume_flag::kPersistentAcls},
    Named{"reparsePoints", platform::volume_flag::kSupportsReparsePoints},
    Named{"hardLinks", platform::volume_flag::kSupportsHardLinks},
};
inline constexpr std::array kDriveTypes{
    Named{"fixed", platform::drive_type::kFixed},     Named{"removable", platform::drive_type::kRemovable},
    Named{"remote", platform::drive_type::kRemote},   Named{"cdrom", platform::drive_type::kCdRom},
    Named{"ramdisk", platform::drive_type::kRamDisk},
};
inline constexpr std::array kServiceStates{
    Named{"stopped", platform::service_state::kStopped},
    Named{"startPending", platform::service_state::kStartPending},
    Named{"stopPending", platform::service_state::kStopPending},
    Named{"running", platform::service_state::kRunning},
    Named{"continuePending", platform::service_state::kContinuePending},
    Named{"pausePending", platform::service_state::kPausePending},
    Named{"paused", platform::service_state::kPaused},
};
inline constexpr std::array kRegistryTypes{
    Named{"REG_NONE", platform::registry_type::kNone},     Named{"REG_SZ", platform::registry_type::kSz},
    Named{"REG_EXPAND_SZ", platform::registry_type::kExpandSz}, Named{"REG_BINARY", platform::registry_type::kBinary},
    Named{"REG_DWORD", platform::registry_type::kDword},
};
inline constexpr std::array kObjectKinds{
    Named{"directory", static_cast<std::uint32_t>(Kind::directory)},
    Named{"file", static_cast<std::uint32_t>(Kind::file)},
    Named{"junction", static_cast<std::uint32_t>(Kind::junction)},
    Named{"symlink", static_cast<std::uint32_t>(Kind::symlink)},
    Named{"hardlink", static_cast<std::uint32_t>(Kind::hardlink)},
};
inline constexpr std::array kFileActions{
    Named{"read", static_cast<std::uint32_t>(sim::step::File::Action::read)},
    Named{"write", static_cast<std::uint32_t>(sim::step::File::Action::write)},
    Named{"mkdir", static_cast<std::uint32_t>(sim::step::File::Action::mkdir)},
    Named{"delete", static_cast<std::uint32_t>(sim::step::File::Action::remove)},
    Named{"list", static_cast<std::uint32_t>(sim::step::File::Action::list)},
    Named{"create", static_cast<std::uint32_t>(sim::step::File::Action::create)},
    Named{"attributes", static_cast<std::uint32_t>(sim::step::File::Action::attributes)},
    Named{"link", static_cast<std::uint32_t>(sim::step::File::Action::link)},
};
// The attributes an `attributes` step may set, by name.
inline constexpr std::array kSettableAttributeNames{
    Named{"readOnly", platform::file_attribute::kReadOnly},
    Named{"hidden", platform::file_attribute::kHidden},
    Named{"system", platform::file_attribute::kSystem},
};

constexpr std::u16string_view kVerbatim = u"\\\\?\\";

template <std::size_t N>
inline std::optional<std::uint32_t> ValueOf(const std::array<Named, N>& table, std::string_view name) {
    const auto found = std::ranges::find(table, name, &Named::name);
    if (found == table.end()) return std::nullopt;
    return found->value;
}

template <std::size_t N>
inline std::optional<std::string> NameOf(const std::array<Named, N>& table, std::uint32_t value) {
    const auto found = std::ranges::find(table, value, &Named::value);
    if (found == table.end()) return std::nullopt;
    return std::string(found->name);
}

inline std::unexpected<Error> FailAt(const Node& node, std::string message) { return Fail(message + " " + node.Where()); }

inline std::string Utf8(std::u16string_view text) { return winformat::Utf16ToDisplay(text); }

// Every member of an object, with its key, in order.
inline std::vector<std::pair<std::string, Node>> Members(const Node& node) {
    std::vector<std::pair<std::string, Node>> members;
    std::size_t index = 0;
    for (auto it = node.value->begin(); it != node.value->end(); ++it, ++index) {
        members.emplace_back(it.key(), Node{&it.value(), &node.source->children[index], node.document});
    }
    return members;
}

inline Result<std::u16string> ReadText(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    auto wide = winformat::Utf8ToUtf16(text);
    if (!wide) return FailAt(node, "`" + std::string(key) + "` is not UTF-16 text");
    return std::move(*wide);
}

template <class T>
Result<std::optional<T>> Optional(ObjectReader& reader, std::string_view key,
                                  Result<T> (*read)(const Node&, std::string_view)) {
    auto node = reader.TakeIfPresent(key);
    if (!node) return std::optional<T>();
    TELVO_TRY_ASSIGN(T value, read(*node, key));
    return std::optional<T>(std::move(value));
}

template <std::size_t N>
inline Result<std::uint32_t> ReadNamed(ObjectReader& reader, std::string_view key, const std::array<Named, N>& table) {
    TELVO_TRY_ASSIGN(const Node node, reader.Take(key));
    TELVO_TRY_ASSIGN(const std::string name, json::ReadString(node, key));
    auto value = ValueOf(table, name);
    if (!value) return FailAt(node, "unknown " + std::string(key) + " \"" + json::MessageText(name) + "\"");
    return *value;
}

inline Result<std::vector<std::uint8_t>> ReadDescriptor(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    auto descriptor = winformat::ParseSddl(text);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("bad SDDL for `" + std::string(key) + "` " + node.Where()));
    return descriptor->ToSelfRelative();
}

inline Result<winformat::Sid> ReadSid(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    auto sid = winformat::Sid::Parse(text);
    if (!sid) return Fail(std::move(sid.error()).Context("bad SID for `" + std::string(key) + "` " + node.Where()));
    return std::move(*sid);
}

// "0x" and exactly two hexadecimal digits per byte of T.
template <class T>
Result<T> ReadFixedHex(const Node& node, std::string_view key) {
    constexpr std::size_t kDigits = 2 * sizeof(T);
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    T value = 0;
    const char* digits = text.data() + 2;
    const char* end = text.data() + text.size();
    if (text.size() != 2 + kDigits || !text.starts_with("0x") || std::from_chars(digits, end, value, 16).ptr != end) {
        return FailAt(node, "`" + std::string(key) + "` is not \"0x\" and " + std::to_string(kDigits) +
                                " hexadecimal digits");
    }
    return value;
}
inline Result<std::uint32_t> ReadHex32(const Node& node, std::string_view key) {
    return ReadFixedHex<std::uint32_t>(node, key);
}
inline Result<std::uint64_t> ReadHex64(const Node& node, std::string_view key) {
    return ReadFixedHex<std::uint64_t>(node, key);
}
inline std::string Hex64(std::uint64_t value) {
    return Hex32(static_cast<std::uint32_t>(value >> 32)) + Hex32(static_cast<std::uint32_t>(value)).substr(2);
}

inline Result<std::vector<std::uint8_t>> ReadHexBytes(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    if (text.size() % 2 != 0) return FailAt(node, "`" + std::string(key) + "` is not pairs of hexadecimal digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        std::uint8_t byte = 0;
        const char* end = text.data() + at + 2;
        if (std::from_chars(text.data() + at, end, byte, 16).ptr != end) {
            return FailAt(node, "`" + std::string(key) + "` is not pairs of hexadecimal digits");
        }
        bytes.push_back(byte);
    }
    return bytes;
}

inline std::string HexBytes(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return text;
}

inline Result<std::string> SddlOf(std::span<const std::uint8_t> bytes, const std::string& what) {
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("security descriptor of " + what));
    auto text = winformat::WriteSddl(*descriptor);
    if (!text) return Fail(std::move(text.error()).Context("security descriptor of " + what));
    return std::move(*text);
}

inline Result<void> Sys(const Node& node, const std::string& what, SysResult<void> result) {
    if (!result) return FailAt(node, Error::FromSys(what, result.error()).Display());
    return {};
}

// "X:" with X an upper-case letter.
inline bool IsDrive(std::u16string_view drive) {
    return drive.size() == 2 && drive[0] >= u'A' && drive[0] <= u'Z' && drive[1] == u':';
}

// The command that `command_line` runs through the host's cmd.exe, if it is one.
inline std::optional<std::u16string> CommandIn(const std::u16string& system_directory, const std::u16string& command_line) {
    const std::u16string empty = CommandLineOf(system_directory, u"");
    const std::u16string_view head = std::u16string_view(empty).substr(0, empty.size() - 1);
    if (command_line.size() < empty.size() || !command_line.starts_with(head) || !command_line.ends_with(u'"')) {
        return std::nullopt;
    }
    return command_line.substr(head.size(), command_line.size() - empty.size());
}

}  // namespace telvo::telvo_sim::host_file_terms
