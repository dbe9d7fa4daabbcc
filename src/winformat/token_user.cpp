#include "winformat/token_user.h"

#include <cstring>

namespace telvo::winformat {

std::optional<Sid> SidOfTokenUser(std::span<const std::uint8_t> buffer) {
    std::uintptr_t pointer = 0;
    if (buffer.size() < sizeof pointer) return std::nullopt;
    std::memcpy(&pointer, buffer.data(), sizeof pointer);
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    if (pointer < begin || pointer >= begin + buffer.size()) return std::nullopt;
    const auto rest = buffer.subspan(pointer - begin);
    const auto length = ValidSidLength(rest);
    if (!length) return std::nullopt;
    auto sid = Sid::FromBytes(rest.first(*length));
    if (!sid) return std::nullopt;
    return *sid;
}

}  // namespace telvo::winformat
