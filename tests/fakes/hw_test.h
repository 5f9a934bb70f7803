// Base fixture: every test starts with fresh fake hardware.
#pragma once

#include <gtest/gtest.h>

#include "fakes/fake_hw.h"

class HardwareTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};
