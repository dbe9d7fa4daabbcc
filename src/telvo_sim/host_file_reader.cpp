// Reading a host file into a simulated host (the format: host_file.h).
#include "telvo_sim/host_file.h"

#include "identity/identifier_text.h"
#include "identity/profile.h"
#include "network_broker/service_main.h"
#include "telvo_sim/host_file_wfp.h"
#include "telvo_sim/offline_service.h"
#include "telvo_sim/host_file_terms.h"
#include "winformat/sddl.h"

#include <map>
#include <utility>

namespace telvo::telvo_sim {

namespace {

using namespace host_file_terms;


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

    // Where the random numbers go on: a run written out goes on where the last one stopped.
    Result<void> NullDevice(const Node& node) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the null device"));
        TELVO_TRY_ASSIGN(auto sd, reader.Field("sd", ReadDescriptor));
        TELVO_TRY(reader.RefuseUnknown());
        host_.files().null_device().SetDescriptor(std::move(sd));
        return {};
    }

    Result<void> Random(const Node& node) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(node, "the random numbers"));
        TELVO_TRY_ASSIGN(const std::uint64_t state, reader.Field("state", ReadHex64));
        TELVO_TRY(reader.RefuseUnknown());
        host_.system().SeedRandom(state);
        return {};
    }

    // Every key has a default: the standard user alice of the built-in host.
    Result<void> User(const std::optional<Node>& node) {
        std::optional<ObjectReader> reader;
        if (node) {
            TELVO_TRY_ASSIGN(reader, ObjectReader::Open(*node, "the user"));
        }
        const auto field = [&]<class T>(std::string_view key, Result<T> (*read)(const Node&, std::string_view),
                                        T fallback) -> Result<T> {
            auto given = reader ? reader->TakeIfPresent(key) : std::nullopt;
            if (!given) return fallback;
            return read(*given, key);
        };
        TELVO_TRY_ASSIGN(std::u16string name, field("name", ReadText, std::u16string(kDefaultUserName)));
        TELVO_TRY_ASSIGN(const winformat::Sid sid,
                         field("sid", ReadSid, winformat::Sid::Parse(kDefaultUserSid).value()));
        TELVO_TRY_ASSIGN(const bool administrator, field("administrator", json::ReadBool, false));
        TELVO_TRY_ASSIGN(const bool elevated, field("elevated", json::ReadBool, false));
        TELVO_TRY_ASSIGN(std::u16string profile, field("profile", ReadText, u"C:\\Users\\" + name));
        TELVO_TRY_ASSIGN(std::u16string local_app_data,
                         field("localAppData", ReadText, profile + u"\\AppData\\Local"));
        if (reader) TELVO_TRY(reader->RefuseUnknown());
        if (elevated && !administrator) return FailAt(*node, "a user who is no administrator cannot run elevated");
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
            if (type == "mapping") {
                TELVO_TRY_ASSIGN(std::u16string mapping, reader.Field("mapping", ReadText));
                TELVO_TRY_ASSIGN(const Node kind_node, reader.Take("driveType"));
                TELVO_TRY_ASSIGN(const std::string kind, json::ReadString(kind_node, "driveType"));
                const auto kind_value = ValueOf(kDriveTypes, kind);
                if (!kind_value) return FailAt(kind_node, "unknown driveType \"" + json::MessageText(kind) + "\"");
                TELVO_TRY(reader.RefuseUnknown());
                host_.files().dos_devices().Add(drive[0], {std::move(mapping), *kind_value});
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
        for (const Node& element : elements) {
            const auto path = element.value->is_object() ? element.value->find("path") : element.value->end();
            if (path == element.value->end() || !path->is_string()) continue;
            if (auto wide = winformat::Utf8ToUtf16(path->get<std::string>())) listed_.insert(winformat::Upcased(*wide));
        }
        for (const Node& element : elements) TELVO_TRY(Object(element));
        return {};
    }

    // What every run needs and the file may leave out: the command
    // processor, the user's profile, the LocalAppData folder that holds the
    // helper's state directory, and its Packages folder that holds the
    // AppContainer profiles (made as Directories makes them).
    Result<void> RunEssentials(const Node& root) {
        const std::u16string system = host_.system().SystemDirectory();
        const std::u16string local_app_data = host_.system().LocalAppData();
        TELVO_TRY(Directories(root, system, "`system` systemDirectory"));
        TELVO_TRY(Directories(root, host_.system().Profile(), "`user` profile"));
        TELVO_TRY(Directories(root, local_app_data, "`user` localAppData"));
        TELVO_TRY(Directories(root, local_app_data + u"\\Packages", "`user` localAppData"));
        const std::u16string cmd = system + u"\\cmd.exe";
        if (host_.files().Lookup(cmd)) return {};
        if (const Node* listed = BuiltInObject(cmd)) return Object(*listed);
        return Sys(root, "creating " + Utf8(cmd), host_.files().MakeFile(cmd, "MZ"));
    }

    // The objects of the built-in host, which directories made for the file
    // follow where they have the same path.
    void UseBuiltIn(std::vector<Node> objects) { built_in_ = std::move(objects); }

    Result<void> Object(const Node& element) {
        TELVO_TRY_ASSIGN(auto reader, ObjectReader::Open(element, "an object"));
        TELVO_TRY_ASSIGN(const Node path_node, reader.Take("path"));
        TELVO_TRY_ASSIGN(const std::u16string path, ReadText(path_node, "path"));
        const std::size_t last = path.rfind(u'\\');
        if (path.size() < 4 || !IsDrive(path.substr(0, 2)) || path[2] != u'\\' || last == path.size() - 1) {
            return FailAt(path_node, "`path` is not X:\\ and one or more names");
        }
        const std::u16string parent = last == 2 ? path.substr(0, 3) : path.substr(0, last);
        if (!host_.files().Lookup(parent) && last > 2) TELVO_TRY(Directories(path_node, parent, Utf8(path)));
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
        if (auto id_node = reader.TakeIfPresent("fileId")) {
            if (static_cast<Kind>(kind) == Kind::hardlink) return FailAt(*id_node, "a hard link shares the id of its file");
            TELVO_TRY_ASSIGN(const std::uint64_t id, ReadHex64(*id_node, "fileId"));
            if (id == 0) return FailAt(*id_node, "`fileId` 0 is no file id");
            const auto [given, fresh] = file_ids_.emplace(std::pair{path.substr(0, 2), id}, path);
            if (!fresh) return FailAt(*id_node, "`fileId` is the id of " + Utf8(given->second) + " too");
            TELVO_TRY(Sys(*id_node, "setting the id of " + Utf8(path), host_.files().SetFileIndex(path, id)));
        } else if (static_cast<Kind>(kind) != Kind::hardlink) {
            // Numbered by the volume: a later object's `fileId` must not take it.
            file_ids_.emplace(std::pair{path.substr(0, 2), host_.files().Lookup(path)->file_index}, path);
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
            // The SCM reports a process id only while the service has a process.
            if (status.current_state == platform::service_state::kStopped && status.process_id != 0) {
                return FailAt(element, "a stopped service has no process id");
            }
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
    // What a file step takes besides its path: `write` its "text", `create`
    // its "sddl" and "directory", `attributes` the attribute names it sets,
    // `link` the "target" file the new name links to.
    static Result<void> ReadFileStepDetails(ObjectReader& reader, sim::step::File& file) {
        using Action = sim::step::File::Action;
        if (file.action == Action::write) {
            TELVO_TRY_ASSIGN(file.text, reader.Field("text", json::ReadString));
        } else if (file.action == Action::create) {
            TELVO_TRY_ASSIGN(file.text, reader.Field("sddl", json::ReadString));
            if (auto parsed = winformat::ParseSddl(file.text); !parsed) {
                return Fail(std::move(parsed.error()).Context("`sddl` is not a security descriptor in SDDL"));
            }
            TELVO_TRY_ASSIGN(const auto directory, Optional(reader, "directory", json::ReadBool));
            file.directory = directory.value_or(false);
        } else if (file.action == Action::attributes) {
            TELVO_TRY_ASSIGN(const Node set, reader.Take("set"));
            if (!set.value->is_array()) return FailAt(set, "`set` takes a list of attribute names");
            for (const auto& element : *set.value) {
                const auto value =
                    element.is_string() ? ValueOf(kSettableAttributeNames, element.get<std::string>()) : std::nullopt;
                if (!value) return FailAt(set, "`set` takes the names readOnly, hidden and system");
                file.attributes |= *value;
            }
            if (file.attributes == 0) file.attributes = platform::file_attribute::kNormal;
        } else if (file.action == Action::link) {
            TELVO_TRY_ASSIGN(file.target, reader.Field("target", ReadText));
        }
        return {};
    }

    // The object of the built-in host at `path`, if it has one.
    const Node* BuiltInObject(const std::u16string& path) const {
        const std::string wanted = Utf8(path);
        for (const Node& object : built_in_) {
            const auto listed = object.value->find("path");
            if (listed != object.value->end() && listed->is_string() && listed->get<std::string>() == wanted) {
                return &object;
            }
        }
        return nullptr;
    }

    // The directory `path` that `what` needs, and the missing ones above it.
    // Each is made as the built-in host has it, else with what it inherits;
    // a profile folder made here belongs to the user, with access for SYSTEM,
    // Administrators and the user only. A directory that the file lists
    // later is not made (its objects come after it).
    Result<void> Directories(const Node& node, const std::u16string& path, const std::string& what) {
        if (path.size() < 4 || !IsDrive(path.substr(0, 2)) || path[2] != u'\\' || path.ends_with(u'\\')) {
            return FailAt(node, what + " " + Utf8(path) + " is not X:\\ and one or more names");
        }
        if (!host_.files().Lookup(path.substr(0, 3))) {
            return FailAt(node, what + " " + Utf8(path) + " is on no drive of the host: add " + Utf8(path.substr(0, 2)) +
                                    " to `volumes`");
        }
        for (std::size_t end = path.find(u'\\', 3);; end = path.find(u'\\', end + 1)) {
            const std::u16string directory = path.substr(0, end);
            if (const auto facts = host_.files().Lookup(directory)) {
                if (!(facts->attributes & platform::file_attribute::kDirectory)) {
                    return FailAt(node, what + " needs " + Utf8(directory) + " to be a directory, not a file");
                }
            } else if (listed_.contains(winformat::Upcased(directory))) {
                return FailAt(node, what + " comes before its parent directory " + Utf8(directory));
            } else if (const Node* listed = BuiltInObject(directory)) {
                TELVO_TRY(Object(*listed));
            } else {
                TELVO_TRY(Sys(node, "creating " + Utf8(directory), host_.files().MakeDirectory(directory)));
                if (winformat::Upcased(directory) == winformat::Upcased(host_.system().Profile())) {
                    TELVO_TRY(ProfileDescriptor(node, directory));
                }
            }
            if (end == std::u16string::npos) return {};
        }
    }

    Result<void> ProfileDescriptor(const Node& node, const std::u16string& directory) {
        const std::string user = winformat::WriteSddlSid(host_.security().TokenUser());
        auto profile = winformat::ParseSddl("O:" + user + "G:" + user + "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                                            user + ")");
        if (!profile) return Fail(std::move(profile.error()).Context("the descriptor of a profile folder"));
        return Sys(node, "setting the descriptor of " + Utf8(directory),
                   host_.files().SetSecurityDescriptor(directory, profile->ToSelfRelative()));
    }

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
            TELVO_TRY(ReadFileStepDetails(reader, file));
            step = std::move(file);
        } else if (name == "print") {
            sim::step::WriteOutput print;
            TELVO_TRY_ASSIGN(print.text, reader.Field("print", json::ReadString));
            if (auto to = reader.TakeIfPresent("to")) {
                TELVO_TRY_ASSIGN(const std::string stream, json::ReadString(*to, "to"));
                if (stream != "output" && stream != "error") {
                    return FailAt(*to, "`to` takes \"output\" or \"error\", not \"" + json::MessageText(stream) + "\"");
                }
                print.to_error = stream == "error";
            }
            step = std::move(print);
        } else if (name == "spawn") {
            TELVO_TRY_ASSIGN(const Node spawned, reader.Take("spawn"));
            TELVO_TRY_ASSIGN(const std::string command, json::ReadString(spawned, "spawn"));
            if (!commands.contains(command)) return FailAt(spawned, "`spawn` names no command of the host");
            step = sim::step::StartChild{CommandLineOf(system, winformat::Utf8ToUtf16(command).value())};
        } else if (name == "ignoreTermination") {
            TELVO_TRY_ASSIGN(const std::uint64_t milliseconds, reader.Field("ignoreTermination", json::ReadU64));
            step = sim::step::SurviveTermination{milliseconds};
        } else if (name == "waitForTermination") {
            TELVO_TRY_ASSIGN(const Node flag, reader.Take("waitForTermination"));
            if (!flag.value->is_boolean() || !flag.value->get<bool>()) {
                return FailAt(flag, "`waitForTermination` takes the value true");
            }
            step = sim::step::Hang{};
        } else if (name == "closeControllerInput") {
            TELVO_TRY_ASSIGN(const Node flag, reader.Take("closeControllerInput"));
            if (!flag.value->is_boolean() || !flag.value->get<bool>()) {
                return FailAt(flag, "`closeControllerInput` takes the value true");
            }
            step = sim::step::CloseControllerInput{};
        } else {
            return FailAt(node, "unknown step `" + name + "`");
        }
        TELVO_TRY(reader.RefuseUnknown());
        return step;
    }

    sim::SimHost& host_;
    std::vector<std::shared_ptr<sim::SimMutex>>& mutexes_;
    // The ids the file gives, by drive: each names one object.
    std::map<std::pair<std::u16string, std::uint64_t>, std::u16string> file_ids_;
    std::vector<Node> built_in_;
    // The paths of the file's objects, upper-cased.
    std::set<std::u16string> listed_;
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
    LoadedHost loaded{std::make_unique<sim::SimHost>(), {}};
    Reader reader(*loaded.host, loaded.other_processes_mutexes);
    if (auto node = root.TakeIfPresent("system")) TELVO_TRY(reader.System(*node));
    // A key the file leaves out takes the built-in host's value.
    TELVO_TRY_ASSIGN(const json::Document built_in_document, json::Document::Parse(DefaultHostFile()));
    const auto built_in_members = Members(built_in_document.root());
    const auto built_in = [&](std::string_view key) {
        return std::ranges::find(built_in_members, key, &std::pair<std::string, Node>::first)->second;
    };
    TELVO_TRY(reader.User(root.TakeIfPresent("user")));
    if (auto node = root.TakeIfPresent("accounts")) TELVO_TRY(reader.Accounts(*node));
    TELVO_TRY(reader.Volumes(root.TakeIfPresent("volumes").value_or(built_in("volumes"))));
    TELVO_TRY_ASSIGN(auto built_in_objects, json::ReadArray(built_in("objects"), "objects"));
    reader.UseBuiltIn(std::move(built_in_objects));
    if (auto node = root.TakeIfPresent("objects")) TELVO_TRY(reader.Objects(*node));
    TELVO_TRY(reader.RunEssentials(document.root()));
    TELVO_TRY(reader.Registry(root.TakeIfPresent("registry").value_or(built_in("registry"))));
    if (auto node = root.TakeIfPresent("services")) TELVO_TRY(reader.Services(*node));
    if (auto node = root.TakeIfPresent("profiles")) TELVO_TRY(reader.Profiles(*node));
    if (auto node = root.TakeIfPresent("mutexes")) TELVO_TRY(reader.Mutexes(*node));
    if (auto node = root.TakeIfPresent("commands")) TELVO_TRY(reader.Commands(*node));
    if (auto node = root.TakeIfPresent("random")) TELVO_TRY(reader.Random(*node));
    if (auto node = root.TakeIfPresent("nullDevice")) TELVO_TRY(reader.NullDevice(*node));
    platform::Guid boot = offline_network::GuidFromText(kDefaultBootId).value();
    if (auto node = root.TakeIfPresent("boot")) {
        TELVO_TRY_ASSIGN(boot, ReadBoot(*node));
    }
    WfpState wfp;
    if (auto node = root.TakeIfPresent("wfp")) {
        TELVO_TRY_ASSIGN(wfp, ReadWfp(*node, winformat::WriteSddlSid(loaded.host->security().TokenUser())));
    }
    TELVO_TRY(root.RefuseUnknown());
    TELVO_TRY(InstallWfpState(*loaded.host, boot, wfp));
    const auto* service = loaded.host->service().Find(network_broker::kServiceName);
    TELVO_TRY(StartOfflineService(*loaded.host,
                                  service && service->status.current_state == platform::service_state::kRunning));
    const std::u16string system = loaded.host->system().SystemDirectory();
    loaded.host->processes().ScriptUnscripted(
        [system](const std::u16string& command_line) { return UnknownCommand(system, command_line); });
    return loaded;
}
}  // namespace telvo::telvo_sim
