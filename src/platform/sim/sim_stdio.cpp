#include "platform/sim/sim_stdio.h"

#include <algorithm>
#include <cstring>

#include "platform/types.h"

namespace telvo::platform::sim {

void SimInputStream::SetBytes(std::string bytes) {
    std::lock_guard lock(mutex_);
    bytes_ = std::move(bytes);
    position_ = 0;
}

void SimInputStream::SetMaxChunk(std::size_t max_chunk) {
    std::lock_guard lock(mutex_);
    max_chunk_ = std::max<std::size_t>(max_chunk, 1);
}

void SimInputStream::SetErrorAfterBytes(std::uint32_t error) {
    std::lock_guard lock(mutex_);
    error_after_ = error;
}

void SimInputStream::HoldOpen() {
    std::lock_guard lock(mutex_);
    held_open_ = true;
}

void SimInputStream::CloseWriter() {
    {
        std::lock_guard lock(mutex_);
        held_open_ = false;
    }
    writer_closed_.notify_all();
}

void SimInputStream::Append(std::string_view bytes) {
    {
        std::lock_guard lock(mutex_);
        if (!held_open_) return;
        bytes_.append(bytes);
    }
    writer_closed_.notify_all();
}

SysResult<std::uint32_t> SimInputStream::Read(std::byte* out, std::size_t capacity) {
    std::unique_lock lock(mutex_);
    writer_closed_.wait(lock, [this] { return position_ < bytes_.size() || !held_open_; });
    const std::size_t left = bytes_.size() - position_;
    if (left == 0) {
        if (error_after_) return std::unexpected(SysError::Win32(*error_after_));
        return 0u;
    }
    const std::size_t count = std::min({left, capacity, max_chunk_});
    std::memcpy(out, bytes_.data() + position_, count);
    position_ += count;
    return static_cast<std::uint32_t>(count);
}

std::size_t SimInputStream::Consumed() const {
    std::lock_guard lock(mutex_);
    return position_;
}

void SimOutputStream::Break(std::uint32_t error) {
    std::lock_guard lock(mutex_);
    error_ = error;
}

void SimOutputStream::Mirror(std::function<bool(std::string_view)> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

SysResult<std::uint32_t> SimOutputStream::Write(const std::byte* bytes, std::size_t size) {
    std::lock_guard lock(mutex_);
    ++write_calls_;
    if (error_) return std::unexpected(SysError::Win32(*error_));
    if (sink_ && !sink_(std::string_view(reinterpret_cast<const char*>(bytes), size))) {
        error_ = win32_error::kNoData;
        return std::unexpected(SysError::Win32(*error_));
    }
    bytes_.append(reinterpret_cast<const char*>(bytes), size);
    return static_cast<std::uint32_t>(size);
}

std::string SimOutputStream::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::size_t SimOutputStream::WriteCalls() const {
    std::lock_guard lock(mutex_);
    return write_calls_;
}

}  // namespace telvo::platform::sim
