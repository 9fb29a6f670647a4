// The library tests. ScriptedApiTest puts the scripted control device in place of
// the port driver, so a test sees exactly what the library sends.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <keluapi.h>
#include <kelu_ioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <loader.h>
#include <pnp.h>

#include "machine_test.h"
#include "scripted_control_device.h"

class ApiTest : public MachineTest {
public:
    // Installs the bus enumerator kelbus as a root device and waits until it runs
    // and has registered its interface. Its children get no driver.
    static void InstallBusEnumerator()
    {
        std::string image = KELBUS_IMAGE_PATH;
        ASSERT_EQ(LoaderInstallService(u"KELBUS", std::u16string(image.begin(), image.end())),
                  STATUS_SUCCESS);
        std::u16string instance;
        ASSERT_EQ(
            PnpCreateRootDevice(u"KELBUS", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS", &instance),
            STATUS_SUCCESS);
        PnpWaitIdle();
    }

    // The bus enumerator, and the port driver as the service of the ports it reports.
    static void InstallBusAndPortDriver()
    {
        InstallBusEnumerator();
        std::string image = KELU_IMAGE_PATH;
        ASSERT_EQ(LoaderInstallService(u"KELU", std::u16string(image.begin(), image.end())),
                  STATUS_SUCCESS);
        ASSERT_EQ(PnpSetHardwareIdService(u"KELB\\KELU", u"KELU"), STATUS_SUCCESS);
    }

    // Runs `body` in a thread and, whenever that thread is blocked on the machine
    // once Plug and Play has settled, moves the clock forward `stepMs`, which must end
    // the wait it blocked in (a Sleep of at most stepMs). Returns the machine time, in
    // ms, that passed while it ran.
    static ULONGLONG RunWhileClockAdvances(const std::function<void()> &body, ULONGLONG stepMs)
    {
        PnpWaitIdle();
        const size_t idle = MachineBlockedThreads();
        std::atomic<bool> done{false};
        ULONGLONG start = KeQueryInterruptTime();
        std::thread worker([&] {
            body();
            done = true;
        });
        while (!done) {
            PnpWaitIdle();
            if (MachineBlockedThreads() > idle) {
                MachineAdvanceClockMs(stepMs);
                // Let the woken thread leave its wait before looking again; if it has
                // already blocked anew, the short bound keeps the loop going.
                Eventually([&] { return done || MachineBlockedThreads() <= idle; }, 0.02);
            }
            std::this_thread::yield();
        }
        worker.join();
        return (KeQueryInterruptTime() - start) / 10000;
    }
};

class ScriptedApiTest : public ApiTest {
protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        ScriptedControlDeviceLoad();
    }
};
