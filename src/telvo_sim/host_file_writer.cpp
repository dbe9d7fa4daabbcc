// Writing a simulated host's state as a host file (the format: host_file.h).
#include "telvo_sim/host_file.h"

#include "telvo_sim/host_file_wfp.h"
#include "telvo_sim/host_file_terms.h"

namespace telvo::telvo_sim {

namespace {

using namespace host_file_terms;

// The members of a file step beyond its action and path, as the reader takes them.
void WriteFileStepDetails(const sim::step::File& file, Json& entry) {
    using Action = sim::step::File::Action;
    if (file.action == Action::write) {
        entry["text"] = file.text;
    } else if (file.action == Action::create) {
        entry["sddl"] = file.text;
        if (file.directory) entry["directory"] = true;
    } else if (file.action == Action::attributes) {
        Json set = Json::array();
        for (const auto& named : kSettableAttributeNames) {
            if (file.attributes & named.value) set.push_back(std::string(named.name));
        }
        entry["set"] = std::move(set);
    } else if (file.action == Action::link) {
        entry["target"] = Utf8(file.target);
    }
}

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
            WriteFileStepDetails(*file, entry);
            steps.push_back(std::move(entry));
        } else if (const auto* print = std::get_if<sim::step::WriteOutput>(&step)) {
            Json entry{{"print", print->text}};
            if (print->to_error) entry["to"] = "error";
            steps.push_back(std::move(entry));
        } else if (const auto* child = std::get_if<sim::step::StartChild>(&step);
                   child && CommandIn(system, child->command_line)) {
            steps.push_back(Json{{"spawn", Utf8(*CommandIn(system, child->command_line))}});
        } else if (const auto* survive = std::get_if<sim::step::SurviveTermination>(&step)) {
            steps.push_back(Json{{"ignoreTermination", survive->milliseconds}});
        } else if (std::holds_alternative<sim::step::Hang>(step)) {
            steps.push_back(Json{{"waitForTermination", true}});
        } else if (std::holds_alternative<sim::step::CloseControllerInput>(step)) {
            steps.push_back(Json{{"closeControllerInput", true}});
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
    for (const auto& [letter, device] : host.files().dos_devices().All()) {
        const auto kind = NameOf(kDriveTypes, device.drive_type);
        if (!kind) return Fail("drive " + Utf8(std::u16string{letter, u':'}) + " cannot be described");
        volumes.push_back(Json{{"drive", Utf8(std::u16string{letter, u':'})}, {"type", "mapping"},
                               {"mapping", Utf8(device.mapping)}, {"driveType", *kind}});
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
            entry["fileId"] = Hex64(record.file_index);
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
    TELVO_TRY_ASSIGN(Json wfp, WriteWfp(host));
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
        {"boot", WriteBoot(host)},
        {"random", Json{{"state", Hex64(host.system().RandomState())}}},
        {"wfp", std::move(wfp)},
        {"commands", std::move(commands)},
    };
    // The null device as it boots needs no key; an entry someone added (until reboot) does.
    if (!host.files().null_device().IsStock()) {
        TELVO_TRY_ASSIGN(std::string sd, SddlOf(host.files().null_device().Descriptor(), "\\Device\\Null"));
        file["nullDevice"] = Json{{"sd", std::move(sd)}};
    }
    return json::WriteIndented(file);
}

}  // namespace telvo::telvo_sim
