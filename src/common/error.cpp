#include "common/error.h"

#include <cstdio>

namespace telvo {

Error::Error(std::string message) { chain_.push_back(std::move(message)); }

std::string Hex32(std::uint32_t value) {
    char buffer[11];
    std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(value));
    return buffer;
}

Error Error::FromSys(std::string_view operation, SysError sys) {
    std::string text(operation);
    switch (sys.kind) {
        case SysError::Kind::win32:
            text += " failed with Win32 error " + std::to_string(sys.code);
            break;
        case SysError::Kind::hresult:
            text += " failed with HRESULT " + Hex32(sys.code);
            break;
        case SysError::Kind::ntstatus:
            text += " failed with NTSTATUS " + Hex32(sys.code);
            break;
    }
    Error error(std::move(text));
    error.sys_ = sys;
    return error;
}

Error Error::Win32(std::string_view operation, std::uint32_t code) {
    return FromSys(operation, SysError::Win32(code));
}
Error Error::HResult(std::string_view operation, std::uint32_t code) {
    return FromSys(operation, SysError::HResult(code));
}
Error Error::NtStatus(std::string_view operation, std::uint32_t code) {
    return FromSys(operation, SysError::NtStatus(code));
}

Error Error::Context(std::string outer) && {
    chain_.insert(chain_.begin(), std::move(outer));
    return std::move(*this);
}

Error Error::Context(std::string outer) const& {
    Error copy = *this;
    return std::move(copy).Context(std::move(outer));
}

bool Error::IsWin32(std::uint32_t code) const {
    return sys_ && sys_->kind == SysError::Kind::win32 && sys_->code == code;
}

std::string Error::Display() const {
    std::string text;
    for (const auto& message : chain_) {
        if (!text.empty()) text += ": ";
        text += message;
    }
    return text;
}

Error Error::Joined(std::vector<Error> failures) {
    std::string text;
    for (const auto& failure : failures) {
        if (!text.empty()) text += "; ";
        text += failure.Display();
    }
    Error joined(std::move(text));
    joined.joined_ = std::move(failures);
    return joined;
}

Result<void> FailureList::Finish() && {
    if (failures_.empty()) return {};
    return std::unexpected(Error::Joined(std::move(failures_)));
}

}  // namespace telvo
