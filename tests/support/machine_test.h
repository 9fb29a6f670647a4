// The test fixture every platform, bus and driver test builds on: each test gets a
// freshly booted machine with its own temporary state directory and a manual clock,
// shut down (and the directory removed) after the test.
#pragma once

#include <gtest/gtest.h>

#include "machine.h"

#include <functional>
#include <string>

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Override to boot with other options; stateDirectory is filled in by the fixture.
    virtual MachineOptions Options() const;

    // Shuts the machine down and boots a new one on the same state directory, as a
    // restart of the same computer.
    void Restart();

    Machine *machine() const { return machine_; }
    const std::string &stateDirectory() const { return stateDirectory_; }

private:
    Machine *machine_ = nullptr;
    std::string stateDirectory_;
};

// Runs `condition` until it holds, yielding between tries, for at most `hostSeconds`
// of host time; for results that other threads produce asynchronously (a woken
// waiter, the PnP worker). Returns whether it held. Not a way to wait for timeouts:
// those run on the manual clock.
bool Eventually(const std::function<bool()> &condition, double hostSeconds = 10);
