#include "platform/sim/sim_helper_process.h"

#include "platform/kernel.h"

namespace telvo::platform::sim {

SimHelperProcess::SimHelperProcess(std::uint32_t id, std::shared_ptr<const SimToken> token)
    : id_(id),
      stdin_(std::make_shared<SimInputStream>()),
      stdout_(std::make_shared<SimOutputStream>()),
      stderr_(std::make_shared<SimOutputStream>()),
      token_(std::move(token)) {
    std_handles_[StdStream::input] = handles_.Add(stdin_);
    std_handles_[StdStream::output] = handles_.Add(stdout_);
    std_handles_[StdStream::error] = handles_.Add(stderr_);
}

std::shared_ptr<const SimToken> SimHelperProcess::shared_token() const {
    std::lock_guard lock(mutex_);
    return token_;
}

void SimHelperProcess::SetToken(std::shared_ptr<const SimToken> token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
}

Handle SimHelperProcess::StdHandle(StdStream stream) const {
    std::lock_guard lock(mutex_);
    auto it = std_handles_.find(stream);
    return it == std_handles_.end() ? kNullHandle : it->second;
}

void SimHelperProcess::SetStdHandle(StdStream stream, Handle handle) {
    std::lock_guard lock(mutex_);
    std_handles_[stream] = handle;
}

bool SimHelperProcess::SetExitCode(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    if (exit_code_) return false;
    exit_code_ = code;
    return true;
}

std::vector<std::u16string> SimHelperProcess::Environment() const {
    std::lock_guard lock(mutex_);
    return environment_;
}

void SimHelperProcess::SetEnvironment(std::vector<std::u16string> entries) {
    std::lock_guard lock(mutex_);
    environment_ = std::move(entries);
}

std::u16string SimHelperProcess::ImagePath() const {
    std::lock_guard lock(mutex_);
    return image_path_;
}

void SimHelperProcess::SetImagePath(std::u16string path) {
    std::lock_guard lock(mutex_);
    image_path_ = std::move(path);
}

std::optional<std::uint32_t> SimHelperProcess::ExitCode() const {
    std::lock_guard lock(mutex_);
    return exit_code_;
}

void SimHelperProcess::End() {
    stdin_->CloseWriter();
    handles_.CloseAll();
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    ended_changed_.notify_all();
}

bool SimHelperProcess::Ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void SimHelperProcess::CallBegins() {
    std::lock_guard lock(mutex_);
    ++calls_under_way_;
}

void SimHelperProcess::CallEnds() {
    bool last_of_ended = false;
    {
        std::lock_guard lock(mutex_);
        last_of_ended = --calls_under_way_ == 0 && ended_;
    }
    if (last_of_ended) ended_changed_.notify_all();
}

bool SimHelperProcess::AwaitEnd(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return ended_changed_.wait_for(lock, limit, [this] { return ended_ && calls_under_way_ == 0; });
}

std::optional<std::uint32_t> SimHelperProcessObject::TryWait() {
    if (process_.Ended()) return wait_result::kObject0;
    return std::nullopt;
}

}  // namespace telvo::platform::sim
