// The SDDL reader on any text, and the writer on any descriptor it reads or
// that the byte parser accepts: what is written reads back to the same
// descriptor and writes the same text again.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "winformat/sddl.h"
#include "winformat/security_descriptor.h"

namespace {

using namespace telvo::winformat;

void CheckWritten(const SecurityDescriptor& descriptor, bool must_write) {
    auto text = WriteSddl(descriptor);
    if (!text) {
        if (must_write || text.error().Display().empty()) __builtin_trap();
        return;
    }
    auto again = ParseSddl(*text);
    if (!again) __builtin_trap();
    auto rewritten = WriteSddl(*again);
    if (!rewritten || *rewritten != *text) __builtin_trap();
    if (again->owner != descriptor.owner || again->group != descriptor.group) __builtin_trap();
    if (again->dacl.present() != descriptor.dacl.present() || again->dacl.is_null() != descriptor.dacl.is_null()) {
        __builtin_trap();
    }
    if (again->dacl.acl() && again->dacl.acl()->aces() != descriptor.dacl.acl()->aces()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = ParseSddl(text);
    if (!parsed && parsed.error().Display().empty()) __builtin_trap();
    if (parsed) CheckWritten(*parsed, true);
    if (auto bytes = SecurityDescriptor::ParseSelfRelative(std::span<const std::uint8_t>(data, size))) {
        CheckWritten(*bytes, false);
    }
    return 0;
}
