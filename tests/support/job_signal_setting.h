#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim_job.h"

namespace telvo::testing {

// Whether terminating an empty Job signals it is unconfirmed (windows-notes
// 5.3): the tests of what depends on it run under both settings of the
// simulated host's assumption, set for one test's life.
class EmptyJobSignalSetting {
public:
    explicit EmptyJobSignalSetting(bool signals)
        : previous_(platform::sim::CurrentJobAssumptions().terminating_an_empty_job_signals) {
        platform::sim::CurrentJobAssumptions().terminating_an_empty_job_signals = signals;
    }
    EmptyJobSignalSetting(const EmptyJobSignalSetting&) = delete;
    EmptyJobSignalSetting& operator=(const EmptyJobSignalSetting&) = delete;
    ~EmptyJobSignalSetting() { platform::sim::CurrentJobAssumptions().terminating_an_empty_job_signals = previous_; }

private:
    bool previous_;
};

inline std::string EmptyJobSignalName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "EmptyJobSignals" : "EmptyJobStaysUnsignalled";
}

}  // namespace telvo::testing

// Instantiates a suite of TEST_P tests whose parameter is the setting.
#define TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS(suite) \
    INSTANTIATE_TEST_SUITE_P(EmptyJob, suite, ::testing::Bool(), ::telvo::testing::EmptyJobSignalName)
