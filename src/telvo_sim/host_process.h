#pragma once

#include <memory>

#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim {

// Runs `action` (given the host's platform) as a process of its own on
// `host`, with `token` (nothing: the current process's), which ends with it.
template <class Action>
auto AsHostProcess(platform::sim::SimHost& host, std::shared_ptr<const platform::sim::SimToken> token, Action&& action) {
    platform::sim::SimHelperProcess& process =
        token ? host.StartHelperProcessAs(std::move(token)) : host.StartHelperProcess();
    auto result = [&] {
        const auto binding = host.Bind(process);
        return action(host.platform());
    }();
    host.KillProcess(process);
    return result;
}

template <class Action>
auto AsSystemProcess(platform::sim::SimHost& host, Action&& action) {
    return AsHostProcess(host, std::make_shared<const platform::sim::SimToken>(platform::sim::SimToken::LocalSystem()),
                         std::forward<Action>(action));
}

}  // namespace telvo::telvo_sim
