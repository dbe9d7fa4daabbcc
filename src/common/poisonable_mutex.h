#pragma once

#include <exception>
#include <mutex>

namespace telvo {

// A mutex that remembers a panic of its holder: when the holder's scope is
// left by an exception, the mutex is poisoned and every later holder is told
// so, and must not use the data it guards.
class PoisonableMutex {
public:
    class Guard {
    public:
        explicit Guard(PoisonableMutex& mutex)
            : mutex_(mutex), lock_(mutex.mutex_), exceptions_(std::uncaught_exceptions()) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() {
            if (std::uncaught_exceptions() > exceptions_) mutex_.poisoned_ = true;
        }

        // An earlier holder panicked.
        bool poisoned() const { return mutex_.poisoned_; }

    private:
        PoisonableMutex& mutex_;
        std::lock_guard<std::mutex> lock_;
        int exceptions_;
    };

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
};

}  // namespace telvo
