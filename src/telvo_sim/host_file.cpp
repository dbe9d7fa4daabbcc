#include "telvo_sim/host_file.h"

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

namespace telvo::telvo_sim {

namespace {

using json::Json;
using json::Node;
using json::ObjectReader;
namespace sim = platform::sim;
using Kind = sim::SimObjectRecord::Kind;

struct Named {
    std::string_view name;
    std::uint32_t value;
};

constexpr std::array kVolumeFlags{
    Named{"caseSensitiveSearch", platform::volume_flag::kCaseSensitiveSearch},
    Named{"casePreservedNames", platform::volume_flag::kCasePreservedNames},
    Named{"unicodeOnDisk", platform::volume_flag::kUnicodeOnDisk},
    Named{"persistentAcls", platform::volume_flag::kPersistentAcls},
    Named{"reparsePoints", platform::volume_flag::kSupportsReparsePoints},
    Named{"hardLinks", platform::volume_flag::kSupportsHardLinks},
};
constexpr std::array kDriveTypes{
    Named{"fixed", platform::drive_type::kFixed},     Named{"removable", platform::drive_type::kRemovable},
    Named{"remote", platform::drive_type::kRemote},   Named{"cdrom", platform::drive_type::kCdRom},
    Named{"ramdisk", platform::drive_type::kRamDisk},
};
constexpr std::array kServiceStates{
    Named{"stopped", platform::service_state::kStopped},
    Named{"startPending", platform::service_state::kStartPending},
    Named{"stopPending", platform::service_state::kStopPending},
    Named{"running", platform::service_state::kRunning},
    Named{"continuePending", platform::service_state::kContinuePending},
    Named{"pausePending", platform::service_state::kPausePending},
    Named{"paused", platform::service_state::kPaused},
};
constexpr std::array kRegistryTypes{
    Named{"REG_NONE", platform::registry_type::kNone},     Named{"REG_SZ", platform::registry_type::kSz},
    Named{"REG_EXPAND_SZ", platform::registry_type::kExpandSz}, Named{"REG_BINARY", platform::registry_type::kBinary},
    Named{"REG_DWORD", platform::registry_type::kDword},
};
constexpr std::array kObjectKinds{
    Named{"directory", static_cast<std::uint32_t>(Kind::directory)},
    Named{"file", static_cast<std::uint32_t>(Kind::file)},
    Named{"junction", static_cast<std::uint32_t>(Kind::junction)},
    Named{"symlink", static_cast<std::uint32_t>(Kind::symlink)},
    Named{"hardlink", static_cast<std::uint32_t>(Kind::hardlink)},
};
constexpr std::array kFileActions{
    Named{"read", static_cast<std::uint32_t>(sim::step::File::Action::read)},
    Named{"write", static_cast<std::uint32_t>(sim::step::File::Action::write)},
    Named{"mkdir", static_cast<std::uint32_t>(sim::step::File::Action::mkdir)},
    Named{"delete", static_cast<std::uint32_t>(sim::step::File::Action::remove)},
    Named{"list", static_cast<std::uint32_t>(sim::step::File::Action::list)},
};

constexpr std::u16string_view kVerbatim = u"\\\\?\\";

template <std::size_t N>
std::optional<std::uint32_t> ValueOf(const std::array<Named, N>& table, std::string_view name) {
    const auto found = std::ranges::find(table, name, &Named::name);
    if (found == table.end()) return std::nullopt;
    return found->value;
}

template <std::size_t N>
std::optional<std::string> NameOf(const std::array<Named, N>& table, std::uint32_t value) {
    const auto found = std::ranges::find(table, value, &Named::value);
    if (found == table.end()) return std::nullopt;
    return std::string(found->name);
}

std::unexpected<Error> FailAt(const Node& node, std::string message) { return Fail(message + " " + node.Where()); }

std::string Utf8(std::u16string_view text) { return winformat::Utf16ToDisplay(text); }

// Every member of an object, with its key, in order.
std::vector<std::pair<std::string, Node>> Members(const Node& node) {
    std::vector<std::pair<std::string, Node>> members;
    std::size_t index = 0;
    for (auto it = node.value->begin(); it != node.value->end(); ++it, ++index) {
        members.emplace_back(it.key(), Node{&it.value(), &node.source->children[index], node.document});
    }
    return members;
}

Result<std::u16string> ReadText(const Node& node, std::string_view key) {
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
Result<std::uint32_t> ReadNamed(ObjectReader& reader, std::string_view key, const std::array<Named, N>& table) {
    TELVO_TRY_ASSIGN(const Node node, reader.Take(key));
    TELVO_TRY_ASSIGN(const std::string name, json::ReadString(node, key));
    auto value = ValueOf(table, name);
    if (!value) return FailAt(node, "unknown " + std::string(key) + " \"" + json::MessageText(name) + "\"");
    return *value;
}

Result<std::vector<std::uint8_t>> ReadDescriptor(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    auto descriptor = winformat::ParseSddl(text);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("bad SDDL for `" + std::string(key) + "` " + node.Where()));
    return descriptor->ToSelfRelative();
}

Result<winformat::Sid> ReadSid(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    auto sid = winformat::Sid::Parse(text);
    if (!sid) return Fail(std::move(sid.error()).Context("bad SID for `" + std::string(key) + "` " + node.Where()));
    return std::move(*sid);
}

Result<std::uint32_t> ReadHex32(const Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(const std::string text, json::ReadString(node, key));
    std::uint32_t value = 0;
    const char* digits = text.data() + 2;
    const char* end = text.data() + text.size();
    if (text.size() != 10 || !text.starts_with("0x") || std::from_chars(digits, end, value, 16).ptr != end) {
        return FailAt(node, "`" + std::string(key) + "` is not \"0x\" and eight hexadecimal digits");
    }
    return value;
}

Result<std::vector<std::uint8_t>> ReadHexBytes(const Node& node, std::string_view key) {
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

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return text;
}

Result<std::string> SddlOf(std::span<const std::uint8_t> bytes, const std::string& what) {
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("security descriptor of " + what));
    auto text = winformat::WriteSddl(*descriptor);
    if (!text) return Fail(std::move(text.error()).Context("security descriptor of " + what));
    return std::move(*text);
}

Result<void> Sys(const Node& node, const std::string& what, SysResult<void> result) {
    if (!result) return FailAt(node, Error::FromSys(what, result.error()).Display());
    return {};
}

// "X:" with X an upper-case letter.
bool IsDrive(std::u16string_view drive) {
    return drive.size() == 2 && drive[0] >= u'A' && drive[0] <= u'Z' && drive[1] == u':';
}

// The command that `command_line` runs through the host's cmd.exe, if it is one.
std::optional<std::u16string> CommandIn(const std::u16string& system_directory, const std::u16string& command_line) {
    const std::u16string empty = CommandLineOf(system_directory, u"");
    const std::u16string_view head = std::u16string_view(empty).substr(0, empty.size() - 1);
    if (command_line.size() < empty.size() || !command_line.starts_with(head) || !command_line.ends_with(u'"')) {
        return std::nullopt;
    }
    return command_line.substr(head.size(), command_line.size() - empty.size());
}

// ---- reading ----------------------------------------------------------------

class Reader {
public:
    Reader(sim::SimHost& host, std::vector<std::shared_ptr<sim::SimMutex>>& mutexes)
        : host_(host), mutexes_(mutexes) {}

    Result<void> System(const Node& node) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the system directories"));
        TELVO_TRY_ASSIGN(std::u16string windows, reader.Field("windowsDirectory", ReadText));
        TELVO_TRY_ASSIGN(std::u16string system, reader.Field("systemDirectory", ReadText));
        TELVO_TRY(reader.RefuseUnknown());
        host_.system().SetWindowsDirectory(std::move(windows));
        host_.system().SetSystemDirectory(std::move(system));
        return {};
    }

    Result<void> User(const Node& node) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the user"));
        TELVO_TRY_ASSIGN(std::u16string name, reader.Field("name", ReadText));
        TELVO_TRY_ASSIGN(const winformat::Sid sid, reader.Field("sid", ReadSid));
        TELVO_TRY_ASSIGN(const bool administrator, reader.Field("administrator", json::ReadBool));
        TELVO_TRY_ASSIGN(const bool elevated, reader.Field("elevated", json::ReadBool));
        TELVO_TRY_ASSIGN(std::u16string profile, reader.Field("profile", ReadText));
        TELVO_TRY_ASSIGN(std::u16string local_app_data, reader.Field("localAppData", ReadText));
        TELVO_TRY(reader.RefuseUnknown());
        if (elevated && !administrator) return FailAt(node, "a user who is no administrator cannot run elevated");
        host_.security().SetProcessToken(sim::SimToken::InteractiveUser(sid, administrator, elevated));
        host_.system().SetUserName(std::move(name));
        host_.system().SetProfile(std::move(profile));
        host_.system().SetLocalAppData(std::move(local_app_data));
        return {};
    }

    Result<void> Accounts(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "accounts"));
        std::vector<sim::SimAccount> accounts;
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "an account"));
            TELVO_TRY_ASSIGN(std::u16string name, reader.Field("name", ReadText));
            TELVO_TRY_ASSIGN(winformat::Sid sid, reader.Field("sid", ReadSid));
            TELVO_TRY(reader.RefuseUnknown());
            accounts.push_back({std::move(name), std::move(sid)});
        }
        host_.system().SetAccounts(std::move(accounts));
        return {};
    }

    Result<void> Volumes(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "volumes"));
        std::set<std::u16string> drives;
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "a volume"));
            TELVO_TRY_ASSIGN(const Node drive_node, reader.Take("drive"));
            TELVO_TRY_ASSIGN(std::u16string drive, ReadText(drive_node, "drive"));
            if (!IsDrive(drive)) return FailAt(drive_node, "`drive` is not an upper-case letter and a colon");
            if (!drives.insert(drive).second) return FailAt(drive_node, "drive " + Utf8(drive) + " is given twice");
            TELVO_TRY_ASSIGN(const Node type_node, reader.Take("type"));
            TELVO_TRY_ASSIGN(const std::string type, json::ReadString(type_node, "type"));
            if (type == "subst") {
                TELVO_TRY_ASSIGN(std::u16string target, reader.Field("target", ReadText));
                TELVO_TRY(reader.RefuseUnknown());
                host_.files().AddSubstDrive(drive[0], std::u16string(kVerbatim) + target);
                continue;
            }
            const auto drive_type = ValueOf(kDriveTypes, type);
            if (!drive_type) return FailAt(type_node, "unknown type \"" + json::MessageText(type) + "\"");
            sim::SimVolumeSpec spec;
            spec.root = drive;
            spec.drive_type = *drive_type;
            TELVO_TRY_ASSIGN(const auto serial, Optional(reader, "serial", ReadHex32));
            if (serial) spec.serial = *serial;
            TELVO_TRY_ASSIGN(const auto file_system, Optional(reader, "fileSystem", ReadText));
            if (file_system) spec.file_system_name = *file_system;
            TELVO_TRY_ASSIGN(const auto device, Optional(reader, "device", ReadText));
            if (device) spec.device = *device;
            if (auto flags = reader.TakeIfPresent("flags")) {
                TELVO_TRY_ASSIGN(const auto names, json::ReadStringArray(*flags, "flags"));
                spec.file_system_flags = 0;
                for (const std::string& name : names) {
                    const auto bit = ValueOf(kVolumeFlags, name);
                    if (!bit) return FailAt(*flags, "unknown volume flag \"" + json::MessageText(name) + "\"");
                    spec.file_system_flags |= *bit;
                }
            }
            TELVO_TRY_ASSIGN(const auto sd, Optional(reader, "sd", ReadDescriptor));
            TELVO_TRY(reader.RefuseUnknown());
            host_.files().AddVolume(std::move(spec));
            if (sd) TELVO_TRY(Sys(element, "setting the root descriptor", host_.files().SetSecurityDescriptor(drive + u"\\", *sd)));
        }
        return {};
    }

    Result<void> Objects(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "objects"));
        for (const Node& element : elements) TELVO_TRY(Object(element));
        return {};
    }

    Result<void> Object(const Node& element) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "an object"));
        TELVO_TRY_ASSIGN(const Node path_node, reader.Take("path"));
        TELVO_TRY_ASSIGN(const std::u16string path, ReadText(path_node, "path"));
        const std::size_t last = path.rfind(u'\\');
        if (path.size() < 4 || !IsDrive(path.substr(0, 2)) || path[2] != u'\\' || last == path.size() - 1) {
            return FailAt(path_node, "`path` is not X:\\ and one or more names");
        }
        const std::u16string parent = last == 2 ? path.substr(0, 3) : path.substr(0, last);
        const auto parent_facts = host_.files().Lookup(parent);
        if (!parent_facts || !(parent_facts->attributes & platform::file_attribute::kDirectory)) {
            return FailAt(path_node, Utf8(path) + " comes before its parent directory");
        }
        if (host_.files().Lookup(path)) return FailAt(path_node, Utf8(path) + " is given twice");
        TELVO_TRY_ASSIGN(const std::uint32_t kind, ReadNamed(reader, "kind", kObjectKinds));
        const std::string what = "creating " + Utf8(path);
        std::optional<Node> sd_node = reader.TakeIfPresent("sd");
        switch (static_cast<Kind>(kind)) {
            case Kind::directory:
                TELVO_TRY(Sys(element, what, host_.files().MakeDirectory(path)));
                break;
            case Kind::file: {
                TELVO_TRY_ASSIGN(const auto content, Optional(reader, "content", json::ReadString));
                TELVO_TRY(Sys(element, what, host_.files().MakeFile(path, content.value_or(""))));
                break;
            }
            case Kind::junction: {
                TELVO_TRY_ASSIGN(std::u16string target, reader.Field("target", ReadText));
                TELVO_TRY(Sys(element, what, host_.files().MakeJunction(path, std::move(target))));
                break;
            }
            case Kind::symlink: {
                TELVO_TRY_ASSIGN(std::u16string target, reader.Field("target", ReadText));
                TELVO_TRY_ASSIGN(const auto directory, Optional(reader, "directory", json::ReadBool));
                TELVO_TRY(Sys(element, what, host_.files().MakeSymlink(path, std::move(target), directory.value_or(false))));
                break;
            }
            case Kind::hardlink: {
                if (sd_node) return FailAt(*sd_node, "a hard link shares the descriptor of its file");
                TELVO_TRY_ASSIGN(const Node target_node, reader.Take("target"));
                TELVO_TRY_ASSIGN(const std::u16string target, ReadText(target_node, "target"));
                const auto facts = host_.files().Lookup(target);
                if (!facts || (facts->attributes & platform::file_attribute::kDirectory)) {
                    return FailAt(target_node, "the target of a hard link must be a file listed before it");
                }
                TELVO_TRY(Sys(element, what, host_.files().MakeHardLink(target, path)));
                break;
            }
        }
        TELVO_TRY(reader.RefuseUnknown());
        if (sd_node) {
            TELVO_TRY_ASSIGN(auto sd, ReadDescriptor(*sd_node, "sd"));
            TELVO_TRY(Sys(*sd_node, "setting the descriptor of " + Utf8(path),
                          host_.files().SetSecurityDescriptor(path, std::move(sd))));
        }
        return {};
    }

    Result<void> Registry(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "registry"));
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "a registry value"));
            TELVO_TRY_ASSIGN(const std::u16string key, reader.Field("key", ReadText));
            TELVO_TRY_ASSIGN(const std::u16string name, reader.Field("name", ReadText));
            TELVO_TRY_ASSIGN(const std::uint32_t type, ReadNamed(reader, "type", kRegistryTypes));
            TELVO_TRY_ASSIGN(const auto text, Optional(reader, "text", ReadText));
            TELVO_TRY_ASSIGN(const auto hex, Optional(reader, "hex", ReadHexBytes));
            TELVO_TRY(reader.RefuseUnknown());
            if (text.has_value() == hex.has_value()) return FailAt(element, "a registry value has `text` or `hex`, not both");
            host_.system().registry().Set(key, name, type, text ? sim::RegistryStringBytes(*text) : *hex);
        }
        return {};
    }

    Result<void> Services(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "services"));
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "a service"));
            TELVO_TRY_ASSIGN(const std::u16string name, reader.Field("name", ReadText));
            sim::SimInstalledService service;
            platform::ServiceConfig& config = service.config;
            platform::ServiceStatusProcess& status = service.status;
            TELVO_TRY_ASSIGN(config.binary_path_name, reader.Field("binaryPath", ReadText));
            TELVO_TRY_ASSIGN(status.current_state, ReadNamed(reader, "state", kServiceStates));
            TELVO_TRY_ASSIGN(service.security_descriptor, reader.Field("sd", ReadDescriptor));
            const auto text = [&](std::string_view key, std::u16string& out) -> Result<void> {
                TELVO_TRY_ASSIGN(auto value, Optional(reader, key, ReadText));
                if (value) out = std::move(*value);
                return {};
            };
            const auto number = [&](std::string_view key, std::uint32_t& out) -> Result<void> {
                TELVO_TRY_ASSIGN(auto value, Optional(reader, key, json::ReadU32));
                if (value) out = *value;
                return {};
            };
            TELVO_TRY(text("displayName", config.display_name));
            TELVO_TRY(text("startName", config.service_start_name));
            TELVO_TRY(text("loadOrderGroup", config.load_order_group));
            TELVO_TRY(text("dependencies", config.dependencies));
            TELVO_TRY(number("serviceType", config.service_type));
            TELVO_TRY(number("startType", config.start_type));
            TELVO_TRY(number("errorControl", config.error_control));
            TELVO_TRY(number("tagId", config.tag_id));
            TELVO_TRY(number("processId", status.process_id));
            TELVO_TRY(number("controlsAccepted", status.controls_accepted));
            TELVO_TRY(number("win32ExitCode", status.win32_exit_code));
            TELVO_TRY(number("serviceExitCode", status.service_specific_exit_code));
            TELVO_TRY(number("checkPoint", status.check_point));
            TELVO_TRY(number("waitHint", status.wait_hint));
            TELVO_TRY(number("serviceFlags", status.service_flags));
            TELVO_TRY(reader.RefuseUnknown());
            status.service_type = config.service_type;
            if (host_.service().Find(name)) return FailAt(element, "service " + Utf8(name) + " is given twice");
            host_.service().Install(name, std::move(service));
        }
        return {};
    }

    Result<void> Profiles(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "profiles"));
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "a profile"));
            TELVO_TRY_ASSIGN(std::u16string name, reader.Field("name", ReadText));
            TELVO_TRY_ASSIGN(std::u16string display_name, reader.Field("displayName", ReadText));
            TELVO_TRY_ASSIGN(std::u16string description, reader.Field("description", ReadText));
            std::vector<sim::SimCapability> capabilities;
            if (auto list = reader.TakeIfPresent("capabilities")) {
                TELVO_TRY_ASSIGN(const auto entries, json::ReadArray(*list, "capabilities"));
                for (const Node& entry : entries) {
                    TELVO_TRY_ASSIGN(auto capability, ObjectReader::Open(entry, "a capability"));
                    TELVO_TRY_ASSIGN(winformat::Sid sid, capability.Field("sid", ReadSid));
                    TELVO_TRY_ASSIGN(const std::uint32_t attributes, capability.Field("attributes", json::ReadU32));
                    TELVO_TRY(capability.RefuseUnknown());
                    capabilities.push_back({std::move(sid), attributes});
                }
            }
            TELVO_TRY(reader.RefuseUnknown());
            if (host_.appcontainer().FindProfile(name)) return FailAt(element, "profile " + Utf8(name) + " is given twice");
            host_.appcontainer().PlantProfile(std::move(name), std::move(display_name), std::move(description),
                                              std::move(capabilities));
        }
        return {};
    }

    Result<void> Mutexes(const Node& node) {
        TELVO_TRY_ASSIGN(const auto elements, json::ReadArray(node, "mutexes"));
        for (const Node& element : elements) {
            TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "a mutex"));
            TELVO_TRY_ASSIGN(const std::u16string name, reader.Field("name", ReadText));
            TELVO_TRY_ASSIGN(const Node state_node, reader.Take("state"));
            TELVO_TRY_ASSIGN(const std::string state, json::ReadString(state_node, "state"));
            TELVO_TRY_ASSIGN(auto sd, Optional(reader, "sd", ReadDescriptor));
            TELVO_TRY(reader.RefuseUnknown());
            if (state != "held" && state != "abandoned" && state != "open") {
                return FailAt(state_node, "unknown state \"" + json::MessageText(state) + "\"");
            }
            if (host_.sync().FindMutex(name)) return FailAt(element, "mutex " + Utf8(name) + " is given twice");
            auto mutex = host_.sync().PlantMutex(name, sd.value_or(std::vector<std::uint8_t>()));
            if (state != "open") mutex->HoldByOtherProcess();
            if (state == "abandoned") mutex->AbandonByOtherProcess();
            mutexes_.push_back(std::move(mutex));
        }
        return {};
    }

    Result<void> Commands(const Node& node) {
        // Every member is a command, so none is unknown.
        TELVO_TRY(ObjectReader::Open(node, "the commands"));
        const auto members = Members(node);
        std::set<std::string> names;
        for (const auto& [command, value] : members) names.insert(command);
        const std::u16string& system = host_.system().SystemDirectory();
        for (const auto& [command, value] : members) {
            TELVO_TRY_ASSIGN(auto entry, ObjectReader::Open(value, "a command"));
            std::vector<sim::ProcessStep> script;
            if (auto steps = entry.TakeIfPresent("steps")) {
                TELVO_TRY_ASSIGN(const auto list, json::ReadArray(*steps, "steps"));
                for (const Node& step : list) {
                    TELVO_TRY_ASSIGN(sim::ProcessStep next, Step(step, names, system));
                    script.push_back(std::move(next));
                }
            }
            TELVO_TRY_ASSIGN(const auto exit_code, Optional(entry, "exitCode", json::ReadU32));
            TELVO_TRY(entry.RefuseUnknown());
            script.emplace_back(sim::step::Exit{exit_code.value_or(0)});
            auto wide = winformat::Utf8ToUtf16(command);
            if (!wide) return FailAt(value, "the command is not UTF-16 text");
            host_.processes().Script(CommandLineOf(system, *wide), std::move(script));
        }
        return {};
    }

private:
    Result<sim::ProcessStep> Step(const Node& node, const std::set<std::string>& commands,
                                  const std::u16string& system) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "a step"));
        if (node.value->empty()) return FailAt(node, "a step names what it does by its first key");
        const std::string name = node.value->begin().key();
        sim::ProcessStep step;
        if (const auto action = ValueOf(kFileActions, name)) {
            sim::step::File file;
            file.action = static_cast<sim::step::File::Action>(*action);
            TELVO_TRY_ASSIGN(file.path, reader.Field(name, ReadText));
            if (file.action == sim::step::File::Action::write) {
                TELVO_TRY_ASSIGN(file.text, reader.Field("text", json::ReadString));
            }
            step = std::move(file);
        } else if (name == "spawn") {
            TELVO_TRY_ASSIGN(const Node spawned, reader.Take("spawn"));
            TELVO_TRY_ASSIGN(const std::string command, json::ReadString(spawned, "spawn"));
            if (!commands.contains(command)) return FailAt(spawned, "`spawn` names no command of the host");
            step = sim::step::StartChild{CommandLineOf(system, winformat::Utf8ToUtf16(command).value())};
        } else if (name == "ignoreTermination") {
            TELVO_TRY_ASSIGN(const std::uint64_t milliseconds, reader.Field("ignoreTermination", json::ReadU64));
            step = sim::step::SurviveTermination{milliseconds};
        } else if (name == "closeControllerInput") {
            return FailAt(node, "step `closeControllerInput` is not simulated yet");
        } else {
            return FailAt(node, "unknown step `" + name + "`");
        }
        TELVO_TRY(reader.RefuseUnknown());
        return step;
    }

    sim::SimHost& host_;
    std::vector<std::shared_ptr<sim::SimMutex>>& mutexes_;
};

// What cmd.exe does with a command it does not know.
std::optional<std::vector<sim::ProcessStep>> UnknownCommand(const std::u16string& system,
                                                            const std::u16string& command_line) {
    const auto command = CommandIn(system, command_line);
    if (!command) return std::nullopt;
    return std::vector<sim::ProcessStep>{
        sim::step::WriteOutput{"'" + Utf8(*command) +
                               "' is not recognized as an internal or external command,\r\n"
                               "operable program or batch file.\r\n"},
        sim::step::Exit{1}};
}

// ---- writing ----------------------------------------------------------------

Result<Json> StepsOf(const std::u16string& system, const std::string& command,
                     const std::vector<sim::ProcessStep>& script, std::uint32_t& exit_code) {
    Json steps = Json::array();
    exit_code = 0;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const sim::ProcessStep& step = script[i];
        if (const auto* exit = std::get_if<sim::step::Exit>(&step); exit && i + 1 == script.size()) {
            exit_code = exit->code;
        } else if (const auto* file = std::get_if<sim::step::File>(&step)) {
            const std::string name = *NameOf(kFileActions, static_cast<std::uint32_t>(file->action));
            Json entry = Json::object();
            entry[name] = Utf8(file->path);
            if (file->action == sim::step::File::Action::write) entry["text"] = file->text;
            steps.push_back(std::move(entry));
        } else if (const auto* child = std::get_if<sim::step::StartChild>(&step);
                   child && CommandIn(system, child->command_line)) {
            steps.push_back(Json{{"spawn", Utf8(*CommandIn(system, child->command_line))}});
        } else if (const auto* survive = std::get_if<sim::step::SurviveTermination>(&step)) {
            steps.push_back(Json{{"ignoreTermination", survive->milliseconds}});
        } else {
            return Fail("command \"" + command + "\" has a step that a host file cannot describe");
        }
    }
    return steps;
}

Result<Json> WriteVolumes(sim::SimHost& host) {
    Json volumes = Json::array();
    for (const sim::SimVolumeSpec& spec : host.files().Volumes()) {
        if (!IsDrive(spec.root)) return Fail("volume " + Utf8(spec.root) + " is not a drive letter");
        Json flags = Json::array();
        std::uint32_t covered = 0;
        for (const auto& flag : kVolumeFlags) {
            if (spec.file_system_flags & flag.value) {
                flags.push_back(flag.name);
                covered |= flag.value;
            }
        }
        const auto type = NameOf(kDriveTypes, spec.drive_type);
        if (covered != spec.file_system_flags || !type) return Fail("volume " + Utf8(spec.root) + " cannot be described");
        TELVO_TRY_ASSIGN(const auto root_sd, Lift("reading the root descriptor", host.files().SecurityDescriptorOf(spec.root + u"\\")));
        TELVO_TRY_ASSIGN(std::string sd, SddlOf(root_sd, Utf8(spec.root) + "\\"));
        volumes.push_back(Json{{"drive", Utf8(spec.root)},         {"type", *type},
                               {"serial", Hex32(spec.serial)},     {"fileSystem", Utf8(spec.file_system_name)},
                               {"flags", std::move(flags)},        {"device", Utf8(spec.device)},
                               {"sd", std::move(sd)}});
    }
    for (const auto& [letter, target] : host.files().SubstDrives()) {
        if (!target.starts_with(kVerbatim)) return Fail("subst drive target " + Utf8(target) + " is not a \\\\?\\ path");
        volumes.push_back(Json{{"drive", Utf8(std::u16string{letter, u':'})}, {"type", "subst"},
                               {"target", Utf8(target.substr(kVerbatim.size()))}});
    }
    return volumes;
}

Result<Json> WriteObjects(sim::SimHost& host) {
    Json objects = Json::array();
    for (const sim::SimObjectRecord& record : host.files().Objects()) {
        Json entry{{"path", Utf8(record.path)}, {"kind", *NameOf(kObjectKinds, static_cast<std::uint32_t>(record.kind))}};
        if (record.kind != Kind::directory && record.kind != Kind::file) entry["target"] = Utf8(record.target);
        if (record.kind == Kind::symlink) entry["directory"] = record.directory;
        if (record.kind == Kind::file) {
            if (!json::WriteCompact(Json(record.contents))) {
                return Fail("the contents of " + Utf8(record.path) + " are not UTF-8 text");
            }
            entry["content"] = record.contents;
        }
        if (record.kind != Kind::hardlink) {
            TELVO_TRY_ASSIGN(entry["sd"], SddlOf(record.security_descriptor, Utf8(record.path)));
        }
        objects.push_back(std::move(entry));
    }
    return objects;
}

Result<Json> WriteServices(sim::SimHost& host) {
    Json services = Json::array();
    for (const auto& [name, service] : host.service().Installed()) {
        const auto& config = service.config;
        const auto& status = service.status;
        const auto state = NameOf(kServiceStates, status.current_state);
        if (!state || status.service_type != config.service_type) {
            return Fail("service " + Utf8(name) + " cannot be described");
        }
        TELVO_TRY_ASSIGN(std::string sd, SddlOf(service.security_descriptor, "service " + Utf8(name)));
        services.push_back(Json{
            {"name", Utf8(name)}, {"displayName", Utf8(config.display_name)}, {"binaryPath", Utf8(config.binary_path_name)},
            {"serviceType", config.service_type}, {"startType", config.start_type}, {"errorControl", config.error_control},
            {"startName", Utf8(config.service_start_name)}, {"loadOrderGroup", Utf8(config.load_order_group)},
            {"dependencies", Utf8(config.dependencies)}, {"tagId", config.tag_id}, {"state", *state},
            {"processId", status.process_id}, {"controlsAccepted", status.controls_accepted},
            {"win32ExitCode", status.win32_exit_code}, {"serviceExitCode", status.service_specific_exit_code},
            {"checkPoint", status.check_point}, {"waitHint", status.wait_hint}, {"serviceFlags", status.service_flags},
            {"sd", std::move(sd)}});
    }
    return services;
}

Result<Json> WriteRegistry(sim::SimHost& host) {
    Json values = Json::array();
    for (const sim::SimRegistryValue& value : host.system().registry().Values()) {
        const auto type = NameOf(kRegistryTypes, value.type);
        if (!type) return Fail("registry value " + Utf8(value.value_name) + " has a type a host file cannot describe");
        Json entry{{"key", Utf8(value.sub_key)}, {"name", Utf8(value.value_name)}, {"type", *type}};
        std::u16string text;
        for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
            text += static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        }
        const bool textual = (value.type == platform::registry_type::kSz || value.type == platform::registry_type::kExpandSz) &&
                             value.data.size() % 2 == 0 && winformat::Utf16ToUtf8(text).has_value();
        if (textual) {
            entry["text"] = *winformat::Utf16ToUtf8(text);
        } else {
            entry["hex"] = HexBytes(value.data);
        }
        values.push_back(std::move(entry));
    }
    return values;
}

Json WriteProfiles(sim::SimHost& host) {
    Json profiles = Json::array();
    for (const sim::SimProfile& profile : host.appcontainer().Profiles()) {
        Json capabilities = Json::array();
        for (const auto& capability : profile.capabilities) {
            capabilities.push_back(Json{{"sid", capability.sid.ToString()}, {"attributes", capability.attributes}});
        }
        profiles.push_back(Json{{"name", Utf8(profile.name)}, {"displayName", Utf8(profile.display_name)},
                                {"description", Utf8(profile.description)}, {"capabilities", std::move(capabilities)}});
    }
    return profiles;
}

Result<Json> WriteMutexes(sim::SimHost& host) {
    Json mutexes = Json::array();
    for (const auto& mutex : host.sync().Mutexes()) {
        Json entry{{"name", Utf8(mutex->name())},
                   {"state", mutex->IsAbandoned() ? "abandoned" : mutex->IsOwned() ? "held" : "open"}};
        if (!mutex->security_descriptor.empty()) {
            TELVO_TRY_ASSIGN(entry["sd"], SddlOf(mutex->security_descriptor, "mutex " + Utf8(mutex->name())));
        }
        mutexes.push_back(std::move(entry));
    }
    return mutexes;
}

}  // namespace

std::u16string CommandLineOf(const std::u16string& system_directory, std::u16string_view command) {
    return u"\"" + system_directory + u"\\cmd.exe\" /d /s /c \"" + std::u16string(command) + u"\"";
}

Result<LoadedHost> ReadHostFile(std::string_view text) {
    if (text.size() > kMaxHostFileSize) return Fail("host file is larger than " + std::to_string(kMaxHostFileSize) + " bytes");
    TELVO_TRY_ASSIGN(const json::Document document, json::Document::Parse(text));
    TELVO_TRY_ASSIGN(auto root, ObjectReader::Open(document.root(), "a host"));
    TELVO_TRY_ASSIGN(const Node format_node, root.Take("format"));
    TELVO_TRY_ASSIGN(const std::string format, json::ReadString(format_node, "format"));
    if (format != kHostFormat) {
        return FailAt(format_node, "unknown format \"" + json::MessageText(format) + "\", expected \"" + std::string(kHostFormat) + "\"");
    }
    for (const char* later : {"wfp", "boot"}) {
        if (auto node = root.TakeIfPresent(later)) return FailAt(*node, "`" + std::string(later) + "` is not simulated yet");
    }
    LoadedHost loaded{std::make_unique<sim::SimHost>(), {}};
    Reader reader(*loaded.host, loaded.other_processes_mutexes);
    if (auto node = root.TakeIfPresent("system")) TELVO_TRY(reader.System(*node));
    TELVO_TRY_ASSIGN(const Node user, root.Take("user"));
    TELVO_TRY(reader.User(user));
    if (auto node = root.TakeIfPresent("accounts")) TELVO_TRY(reader.Accounts(*node));
    TELVO_TRY_ASSIGN(const Node volumes, root.Take("volumes"));
    TELVO_TRY(reader.Volumes(volumes));
    if (auto node = root.TakeIfPresent("objects")) TELVO_TRY(reader.Objects(*node));
    if (auto node = root.TakeIfPresent("registry")) TELVO_TRY(reader.Registry(*node));
    if (auto node = root.TakeIfPresent("services")) TELVO_TRY(reader.Services(*node));
    if (auto node = root.TakeIfPresent("profiles")) TELVO_TRY(reader.Profiles(*node));
    if (auto node = root.TakeIfPresent("mutexes")) TELVO_TRY(reader.Mutexes(*node));
    if (auto node = root.TakeIfPresent("commands")) TELVO_TRY(reader.Commands(*node));
    TELVO_TRY(root.RefuseUnknown());
    const std::u16string system = loaded.host->system().SystemDirectory();
    loaded.host->processes().ScriptUnscripted(
        [system](const std::u16string& command_line) { return UnknownCommand(system, command_line); });
    return loaded;
}

Result<std::string> WriteHostFile(sim::SimHost& host) {
    const sim::SimToken& token = host.security().ProcessToken();
    const bool administrator = std::ranges::any_of(token.identity.groups, [](const auto& group) {
        return group.sid == winformat::well_known::Administrators();
    });
    Json accounts = Json::array();
    for (const auto& account : host.system().Accounts()) {
        accounts.push_back(Json{{"name", Utf8(account.name)}, {"sid", account.sid.ToString()}});
    }
    const std::u16string& system = host.system().SystemDirectory();
    Json commands = Json::object();
    for (const auto& [command_line, script] : host.processes().Scripts()) {
        const auto inner = CommandIn(system, command_line);
        if (!inner) return Fail("process script " + Utf8(command_line) + " is not a command of the host's cmd.exe");
        const std::string command = Utf8(*inner);
        std::uint32_t exit_code = 0;
        TELVO_TRY_ASSIGN(Json steps, StepsOf(system, command, script, exit_code));
        commands[command] = Json{{"steps", std::move(steps)}, {"exitCode", exit_code}};
    }
    TELVO_TRY_ASSIGN(Json volumes, WriteVolumes(host));
    TELVO_TRY_ASSIGN(Json objects, WriteObjects(host));
    TELVO_TRY_ASSIGN(Json registry, WriteRegistry(host));
    TELVO_TRY_ASSIGN(Json services, WriteServices(host));
    TELVO_TRY_ASSIGN(Json mutexes, WriteMutexes(host));
    Json file{
        {"format", kHostFormat},
        {"system", Json{{"windowsDirectory", Utf8(host.system().WindowsDirectory())}, {"systemDirectory", Utf8(system)}}},
        {"user", Json{{"name", Utf8(host.system().UserName())}, {"sid", token.identity.user.ToString()},
                      {"administrator", administrator}, {"elevated", token.elevated},
                      {"profile", Utf8(host.system().Profile())}, {"localAppData", Utf8(host.system().LocalAppData())}}},
        {"accounts", std::move(accounts)},
        {"volumes", std::move(volumes)},
        {"objects", std::move(objects)},
        {"registry", std::move(registry)},
        {"services", std::move(services)},
        {"profiles", WriteProfiles(host)},
        {"mutexes", std::move(mutexes)},
        {"commands", std::move(commands)},
    };
    return json::WriteIndented(file);
}

}  // namespace telvo::telvo_sim
