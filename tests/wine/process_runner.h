#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace telvo::wine {

struct ProcessResult {
    std::string out;
    std::string err;
    std::optional<int> exit_code;  // nothing when the process was killed at its time limit
};

struct ProcessOptions {
    std::string input;                // written to standard input, which is then closed
    bool close_stdout_early = false;  // the reader of standard output goes away before the process writes
    std::chrono::seconds limit{60};
};

// Runs a program with pipes on its three standard streams, killing its whole
// process group when the limit passes.
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options);

}  // namespace telvo::wine
