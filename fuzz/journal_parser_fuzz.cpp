// The journal decoder: any byte string gives a journal or an error; a decoded
// journal encodes to text that decodes to the same journal and encodes to the
// same text again. Every decoded journal also goes through validation, which
// must answer without faulting whatever the paths hold.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/sim/sim_host.h"
#include "windows/journal_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto journal = telvo::windows::DecodeJournal(text);
    if (!journal) {
        if (journal.error().Display().empty()) __builtin_trap();
        return 0;
    }
    static telvo::platform::sim::SimHost host;
    (void)telvo::windows::ValidateJournal(host.platform().system, *journal);
    // Decoded text is valid UTF-8, so it always encodes.
    auto encoded = telvo::windows::EncodeJournal(*journal);
    if (!encoded) __builtin_trap();
    auto again = telvo::windows::DecodeJournal(*encoded);
    if (!again || *again != *journal) __builtin_trap();
    auto reencoded = telvo::windows::EncodeJournal(*again);
    if (!reencoded || *reencoded != *encoded) __builtin_trap();
    return 0;
}
