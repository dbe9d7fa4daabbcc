// The lease record decoder on any bytes, as a filter's provider data: it
// gives a record or one error; a record that passes the checks encodes to
// text that decodes to the same record, and the filter validation over
// those bytes ends in a lease or one error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"
#include "offline_network/lease_filter.h"
#include "offline_network/lease_record.h"
#include "platform/sim/sim_host.h"

namespace {

using namespace telvo;
using namespace telvo::offline_network;

void CheckMessage(const Error& error) {
    const std::string message = error.Display();
    if (message.empty() || json::MessageText(message) != message) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    static platform::sim::SimHost host;
    auto record = DecodeLeaseRecord(bytes);
    if (!record) {
        CheckMessage(record.error());
        return 0;
    }
    auto encoded = EncodeLeaseRecord(host.platform().appcontainer, *record);
    if (!encoded) {
        CheckMessage(encoded.error());
        return 0;
    }
    if (encoded->size() > kMaxLeaseRecordBytes) __builtin_trap();
    auto again = DecodeLeaseRecord(*encoded);
    if (!again || *again != *record) __builtin_trap();

    auto package = winformat::Sid::Parse(record->package_sid);
    auto key = GuidFromText(record->filter_keys[0]);
    if (!package || !key) __builtin_trap();
    platform::WfpFilter filter = LeaseFilter(*key, 0, *package, bytes);
    filter.filter_id = 1;
    filter.effective_weight = filter.weight;
    auto valid = ValidateLeaseFilter(host.platform().appcontainer, filter);
    if (valid) {
        if (valid->record != *record || bytes != *encoded) __builtin_trap();
    } else {
        CheckMessage(valid.error());
    }
    return 0;
}
