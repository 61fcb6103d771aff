// both_masters.h - a service test that runs on the simulated master and on
// the wire master (ecatslaves at the far end of a veth pair; skipped with
// the reason where the veth pair cannot be made). Include it where
// ECATSLAVES_PATH names the ecatslaves program.
#pragma once

#include "wire_bus.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace testnode {

enum class Master { Simulated, Wire };

class OnBothMasters : public ::testing::TestWithParam<Master> {
protected:
    void SetUp() override
    {
        if (GetParam() == Master::Simulated)
            return;
        std::string why;
        if (!WireBus::available(why))
            GTEST_SKIP() << why;
        wire_ = std::make_unique<WireBus>(ECATSLAVES_PATH);
    }

    std::unique_ptr<WireBus> wire_;  // null on the simulated master
};

inline std::string master_name(const ::testing::TestParamInfo<Master> &info)
{
    return info.param == Master::Wire ? "Wire" : "Simulated";
}

}  // namespace testnode
