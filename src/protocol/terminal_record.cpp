#include "protocol/terminal_record.h"

#include <mutex>

#include "common/json.h"
#include "protocol/request.h"
#include "protocol/std_streams.h"

namespace telvo::protocol {

Result<std::string> SerializeTerminalRecord(const TerminalRecord& record) {
    json::Json object = json::Json::object();
    if (const auto* exit = std::get_if<ExitRecord>(&record)) {
        object["kind"] = "exit";
        object["protocolVersion"] = kProtocolVersion;
        object["exitCode"] = exit->exit_code;
    } else {
        const auto& error = std::get<ErrorRecord>(record);
        object["kind"] = "error";
        object["protocolVersion"] = kProtocolVersion;
        object["code"] = error.code;
        object["message"] = error.message;
    }
    auto text = json::WriteCompact(object);
    if (!text) return text;
    text->push_back('\n');
    return text;
}

Result<void> WriteTerminalRecord(platform::Platform& platform, const TerminalRecord& record) {
    auto line = SerializeTerminalRecord(record);
    if (!line) return Fail(std::move(line.error()).Context("could not serialize terminal record"));
    std::lock_guard lock(StandardOutputLock());
    if (auto written = WriteAllToStandardOutput(platform, *line); !written) {
        return Fail(std::move(written.error()).Context("could not serialize terminal record"));
    }
    return {};
}

}  // namespace telvo::protocol
