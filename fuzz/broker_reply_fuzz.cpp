// The reply frame reader and both broker message decoders on any bytes: the
// reader takes the bytes as what the pipe delivers (in two pieces, split
// where the first byte says) and ends in a reply or one error; the decoders
// give a message or an error, and a decoded message encodes to text that
// decodes to the same message.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"
#include "network_broker/broker_call.h"
#include "network_broker/broker_frame.h"
#include "network_broker/broker_message.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"

namespace {

using namespace telvo;
using namespace telvo::network_broker;

void CheckMessage(const Error& error) {
    const std::string message = error.Display();
    if (message.empty() || json::MessageText(message) != message) __builtin_trap();
}

void ReadThroughPipe(std::string_view bytes) {
    platform::sim::SimHost host;
    platform::sim::PipeServerScript script;
    script.server_process_id = 4;
    const std::size_t split = bytes.empty() ? 0 : static_cast<std::uint8_t>(bytes[0]) % (bytes.size() + 1);
    script.reply = {{0, std::string(bytes.substr(0, split))}, {5, std::string(bytes.substr(split))}};
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = winformat::well_known::LocalSystem();
    descriptor.group = winformat::well_known::LocalSystem();
    descriptor.dacl = winformat::AclSlot::Null();
    script.security_descriptor = descriptor.ToSelfRelative();
    auto server = host.pipes().Listen(u"\\\\.\\pipe\\fuzz", script);
    auto opened = host.platform().files.CreateFileW(u"\\\\.\\pipe\\fuzz", platform::kPipeReadWriteNoAppend, 0, 3,
                                                    kBrokerPipeFlags);
    if (!opened) __builtin_trap();
    platform::UniqueHandle pipe(host.platform().kernel, *opened);
    // The server answers once a request frame has arrived.
    if (!WriteRequestFrame(host.platform(), pipe.get(), StatusRequest{}, PipeDeadline::After(host.platform(), 10000))) {
        __builtin_trap();
    }
    auto reply = ReadReplyFrame(host.platform(), pipe.get(), PipeDeadline::After(host.platform(), 10000));
    if (!reply) CheckMessage(reply.error());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ReadThroughPipe(bytes);

    if (auto reply = DecodeBrokerReply(bytes)) {
        auto text = EncodeBrokerReply(*reply);
        if (!text) __builtin_trap();
        auto again = DecodeBrokerReply(*text);
        if (!again || *again != *reply) __builtin_trap();
    } else {
        CheckMessage(reply.error());
    }
    if (auto request = DecodeBrokerRequest(bytes)) {
        auto text = EncodeBrokerRequest(*request);
        if (!text) __builtin_trap();
        auto again = DecodeBrokerRequest(*text);
        if (!again || *again != *request) __builtin_trap();
    } else {
        CheckMessage(request.error());
    }
    return 0;
}
