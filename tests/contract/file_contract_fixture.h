#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "contract/contract_host.h"
#include "winformat/sid.h"

namespace telvo::contract {

// A contract host with a scratch directory, and the user this process runs
// as: what the contract tests of file opens and file descriptors start from.
class FileContractTest : public ::testing::Test {
protected:
    platform::Platform& p() { return host->platform(); }

    std::unique_ptr<ContractHost> host = MakeContractHost();
    std::u16string scratch = host->ScratchDirectory();
    winformat::Sid user = host->ProcessIdentity().user;
};

}  // namespace telvo::contract
