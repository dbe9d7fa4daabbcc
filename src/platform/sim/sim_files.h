#pragma once

#include "platform/files.h"

namespace telvo::platform::sim {

class SimHost;

class SimFiles final : public Files {
public:
    explicit SimFiles(SimHost& host) : host_(host) {}

private:
    [[maybe_unused]] SimHost& host_;
};

}  // namespace telvo::platform::sim
