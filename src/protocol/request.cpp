#include "protocol/request.h"

#include "common/json.h"
#include "common/try.h"

namespace telvo::protocol {

namespace {

template <class T>
Result<T> Field(json::ObjectReader& reader, std::string_view key,
                Result<T> (*read)(const json::Node&, std::string_view)) {
    TELVO_TRY_ASSIGN(auto node, reader.Take(key));
    return read(node, key);
}

Result<RunMode> ReadMode(const json::Node& node, std::string_view key) {
    TELVO_TRY_ASSIGN(auto text, json::ReadString(node, key));
    if (text == "read-only") return RunMode::read_only;
    if (text == "workspace-write") return RunMode::workspace_write;
    return Fail("unknown variant `" + text + "`, expected `read-only` or `workspace-write` " + node.Where());
}


Result<Request> DecodeRun(json::ObjectReader& reader) {
    Run run;
    TELVO_TRY_ASSIGN(run.protocol_version, Field(reader, "protocolVersion", &json::ReadU32));
    TELVO_TRY_ASSIGN(run.command, Field(reader, "command", &json::ReadString));
    TELVO_TRY_ASSIGN(run.cwd, Field(reader, "cwd", &json::ReadString));
    TELVO_TRY_ASSIGN(run.root, Field(reader, "root", &json::ReadString));
    TELVO_TRY_ASSIGN(run.mode, Field(reader, "mode", &ReadMode));
    TELVO_TRY_ASSIGN(run.readable_roots, Field(reader, "readableRoots", &json::ReadStringArray));
    TELVO_TRY_ASSIGN(run.private_paths, Field(reader, "privatePaths", &json::ReadStringArray));
    TELVO_TRY_ASSIGN(run.network_access, Field(reader, "networkAccess", &json::ReadBool));
    TELVO_TRY(reader.RefuseUnknown());
    return run;
}

Result<Request> DecodeRecover(json::ObjectReader& reader) {
    Recover recover;
    TELVO_TRY_ASSIGN(recover.protocol_version, Field(reader, "protocolVersion", &json::ReadU32));
    TELVO_TRY(reader.RefuseUnknown());
    return recover;
}

}  // namespace

Result<Request> DecodeRequest(std::string_view body) {
    TELVO_TRY_ASSIGN(auto document, json::Document::Parse(body));
    TELVO_TRY_ASSIGN(auto reader, json::ObjectReader::Open(document.root(), "internally tagged enum Request"));
    TELVO_TRY_ASSIGN(auto tag, reader.Take("operation"));
    TELVO_TRY_ASSIGN(auto operation, json::ReadString(tag, "operation"));
    if (operation == "run") return DecodeRun(reader);
    if (operation == "recover") return DecodeRecover(reader);
    return Fail("unknown variant `" + operation + "`, expected `run` or `recover` " + tag.Where());
}

std::uint32_t ProtocolVersionOf(const Request& request) {
    return std::visit([](const auto& variant) { return variant.protocol_version; }, request);
}

}  // namespace telvo::protocol
