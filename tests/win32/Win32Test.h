#pragma once

#include <gtest/gtest.h>

#include "Win32Model.h"

// Every host test starts from a fresh model and must leave no handle open and no misuse behind.
class Win32Test : public ::testing::Test {
protected:
    void SetUp() override { model::Reset(); }

    void TearDown() override
    {
        EXPECT_TRUE(model::OpenHandles().empty()) << "Leaked handles:\n" << model::DescribeOpenHandles();
        const auto& faults = model::Faults();
        std::string listed;
        for (const auto& fault : faults)
            listed += "  " + fault + "\n";
        EXPECT_TRUE(faults.empty()) << "Win32 misuse:\n" << listed;
    }
};
