// Booting and shutting down the machine, and the embedded machine of programs that
// do not boot one themselves.
#include "machine.h"

#include "io_subsystem.h"
#include "ke_internal.h"
#include "ob.h"
#include "verifier.h"

#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

std::mutex g_bootLock;
Machine *g_machine;  // the running machine
bool g_embedded;     // it was booted by MachineCurrent and is shut down at exit
bool g_ready;        // its managers have started
std::thread::id g_booter;
std::condition_variable g_bootDone;
std::atomic<int> g_systemSize{MmLargeSystem};

std::string DefaultStateDirectory() {
    if (const char *dir = getenv("KELU_MACHINE_DIR"); dir != nullptr && *dir != 0) return dir;
    if (const char *state = getenv("XDG_STATE_HOME"); state != nullptr && *state != 0)
        return std::string(state) + "/kelu/machine";
    const char *home = getenv("HOME");
    return std::string(home != nullptr ? home : "/tmp") + "/.local/state/kelu/machine";
}

void ShutdownEmbeddedMachine() {
    Machine *machine;
    {
        std::lock_guard<std::mutex> lock(g_bootLock);
        machine = g_embedded ? g_machine : nullptr;
    }
    if (machine != nullptr) MachineShutdown(machine);
}

Machine *BootLocked(const MachineOptions &options) {
    if (g_machine != nullptr)
        VerifierStop("MACHINE_ALREADY_RUNNING", __builtin_return_address(0),
                     "a machine is booted while another one runs");
    auto *machine = new Machine();
    machine->stateDirectory =
        options.stateDirectory.empty() ? DefaultStateDirectory() : options.stateDirectory;
    machine->manualClock = options.manualClock;
    std::error_code error;
    std::filesystem::create_directories(machine->stateDirectory, error);
    g_systemSize = options.systemSize;
    g_machine = machine;
    g_ready = false;
    g_booter = std::this_thread::get_id();
    MachineClearDebugLog();
    KeStartClockAndDispatcher(options.manualClock);
    PoolStart();
    RegistryStart(machine->stateDirectory);
    KeStartTimersAndDpcs(options.manualClock);
    ObStart();
    return machine;
}

// The managers start without the boot lock held, since they call back into the
// machine; application threads that arrive meanwhile wait until the boot is done.
Machine *StartManagers(Machine *machine) {
    IoSubsystemStart(machine);
    std::lock_guard<std::mutex> lock(g_bootLock);
    g_ready = true;
    g_bootDone.notify_all();
    return machine;
}

}  // namespace

Machine *MachineBoot(const MachineOptions &options) {
    Machine *machine;
    {
        std::lock_guard<std::mutex> lock(g_bootLock);
        machine = BootLocked(options);
    }
    return StartManagers(machine);
}

// Applications go first, as at a Windows shutdown: their open files are cleaned up
// and closed while the drivers are still there.
void MachineShutdown(Machine *machine) {
    ObTerminateApplicationProcesses();
    // Windows sends no removal at shutdown; here the stacks are still torn down (so
    // drivers unload and pool is checked), but after the disk state is sealed, so a
    // driver's removal work (a dissolved pair, say) does not outlive the power-off.
    RegistrySeal();
    IoSubsystemStop(machine);
    PsStopSystemThreads();
    ObStop();
    KeStopTimersAndDpcs();
    RegistryStop();
    std::lock_guard<std::mutex> lock(g_bootLock);
    g_machine = nullptr;
    g_embedded = false;
    g_ready = false;
    g_bootDone.notify_all();
    delete machine;
}

Machine *MachineRunning() {
    std::lock_guard<std::mutex> lock(g_bootLock);
    return g_machine;
}

Machine *MachineCurrent() {
    Machine *machine;
    {
        std::unique_lock<std::mutex> lock(g_bootLock);
        if (g_machine != nullptr) {
            // The booting thread and the machine's own threads use it while it boots.
            if (!g_ready && g_booter != std::this_thread::get_id() &&
                PsCurrentProcess() != PsSystemProcess())
                g_bootDone.wait(lock, [] { return g_ready || g_machine == nullptr; });
            return g_machine;
        }
        machine = BootLocked(MachineOptions{});
        g_embedded = true;
        static bool registered = false;
        if (!registered) atexit(ShutdownEmbeddedMachine);
        registered = true;
    }
    return StartManagers(machine);
}

void MachineSetSystemSize(MM_SYSTEMSIZE size) { g_systemSize = size; }

extern "C" MM_SYSTEMSIZE NTAPI MmQuerySystemSize(VOID) {
    return static_cast<MM_SYSTEMSIZE>(g_systemSize.load());
}
