#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <functional>
#include <string>
#include <string_view>

#include "platform/sim/sim_object.h"

namespace telvo::platform::sim {

// The read end of a pipe that a test fills: the bytes, how many of them one
// ReadFile may return, and what happens once they are used up.
class SimInputStream : public SimObject {
public:
    void SetBytes(std::string bytes);
    void SetMaxChunk(std::size_t max_chunk);
    // After the bytes, ReadFile fails with this error instead of reporting end of input.
    void SetErrorAfterBytes(std::uint32_t error);
    // The controller keeps its end open: once the bytes are used up, ReadFile
    // blocks until CloseWriter, then reports end of input (or the error).
    void HoldOpen();
    void CloseWriter();
    // More bytes from a writer that holds its end open; dropped once the
    // writer has closed it.
    void Append(std::string_view bytes);

    // One ReadFile: bytes copied, or the failure.
    SysResult<std::uint32_t> Read(std::byte* out, std::size_t capacity);
    std::size_t Consumed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable writer_closed_;
    bool held_open_ = false;
    std::string bytes_;
    std::size_t position_ = 0;
    std::size_t max_chunk_ = static_cast<std::size_t>(-1);
    std::optional<std::uint32_t> error_after_;
};

// The write end of a pipe whose reader is a test.
class SimOutputStream : public SimObject {
public:
    // Every later WriteFile fails with this error (232 for a reader that went away).
    void Break(std::uint32_t error);
    // Every write is also handed to `sink` as it happens; when the sink
    // refuses it (its reader went away), that write and every later one
    // fail with 232.
    void Mirror(std::function<bool(std::string_view)> sink);
    SysResult<std::uint32_t> Write(const std::byte* bytes, std::size_t size);
    std::string Bytes() const;
    std::size_t WriteCalls() const;

private:
    mutable std::mutex mutex_;
    std::string bytes_;
    std::size_t write_calls_ = 0;
    std::optional<std::uint32_t> error_;
    std::function<bool(std::string_view)> sink_;
};

}  // namespace telvo::platform::sim
