#include "protocol/terminal_record.h"

#include <span>

#include "common/json.h"
#include "common/try.h"
#include "protocol/request.h"

namespace telvo::protocol {

using platform::win32_error::kInvalidHandle;

Result<void> WriteAllToStandardOutput(platform::Platform& platform, std::string_view bytes) {
    TELVO_TRY_ASSIGN(const platform::Handle handle,
                     Lift("GetStdHandle(standard output)", platform.console.GetStdHandle(platform::StdStream::output)));
    if (!platform::IsUsable(handle)) return {};
    auto remaining = std::as_bytes(std::span(bytes.data(), bytes.size()));
    while (!remaining.empty()) {
        auto written = platform.kernel.WriteFile(handle, remaining);
        if (!written) {
            if (written.error() == SysError::Win32(kInvalidHandle)) return {};
            return FailSys("WriteFile(standard output)", written.error());
        }
        if (*written == 0) return Fail("failed to write whole buffer");
        remaining = remaining.subspan(*written);
    }
    return {};
}

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
    TELVO_TRY_ASSIGN(std::string text, json::WriteCompact(object));
    text.push_back('\n');
    return text;
}

Result<void> TerminalRecordWriter::Write(const TerminalRecord& record) {
    std::lock_guard lock(stdout_lock_);
    if (record_started_) {
        return Fail(Error("a terminal record was already written").Context("could not serialize terminal record"));
    }
    auto line = SerializeTerminalRecord(record);
    record_started_ = true;
    auto written = WriteAllToStandardOutput(platform_, line ? std::string_view(*line) : kUnserializableRecord);
    if (!line) return Fail(std::move(line.error()).Context("could not serialize terminal record"));
    if (!written) return Fail(std::move(written.error()).Context("could not serialize terminal record"));
    return {};
}

}  // namespace telvo::protocol
