#include "network_broker/service_event_log.h"

#include "network_broker/service_main.h"
#include "winformat/text.h"

namespace telvo::network_broker {

namespace {

std::uint16_t TypeOf(ServiceEvent event) {
    return event == ServiceEvent::unexpected_stop ? platform::event_type::kWarning : platform::event_type::kError;
}

}  // namespace

std::u16string EventMessageText(std::string_view message) {
    // Messages are built from this program's own texts and Windows error
    // numbers; bytes that are not UTF-8 are shown as U+FFFD.
    std::u16string text;
    if (auto wide = winformat::Utf8ToUtf16(message)) {
        text = std::move(*wide);
    } else {
        for (const char byte : message) text.push_back(static_cast<unsigned char>(byte) < 0x80 ? byte : u'\uFFFD');
    }
    if (text.size() > kMaxEventMessageUnits) text.resize(kMaxEventMessageUnits);
    return text;
}

void WriteServiceEvent(platform::Platform& platform, ServiceEvent event, std::string_view message) {
    auto source = platform.service.RegisterEventSourceW(kServiceName);
    if (!source) return;
    const std::u16string strings[] = {EventMessageText(message)};
    (void)platform.service.ReportEventW(*source, TypeOf(event), static_cast<std::uint32_t>(event), strings);
    (void)platform.service.DeregisterEventSource(*source);
}

}  // namespace telvo::network_broker
