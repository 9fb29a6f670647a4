// Booting and shutting down the machine, and the embedded machine of programs that
// do not boot one themselves.
#include "machine.h"

#include "io_subsystem.h"
#include "ke_internal.h"
#include "machine_lock.h"
#include "ob.h"
#include "verifier.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
// The running machine once it is ready, for the system services, which ask for the
// machine on every call: read without the boot lock.
std::atomic<Machine *> g_readyMachine;
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

// Takes the directory's lock and loads its registry before anything else starts,
// so that a machine that cannot boot leaves nothing behind. Blocks, with the boot
// lock held, while another process holds the directory: this process's other threads
// want the same machine.
Machine *BootLocked(const MachineOptions &options, std::string *error) {
    if (g_machine != nullptr)
        VerifierStop("MACHINE_ALREADY_RUNNING", __builtin_return_address(0),
                     "a machine is booted while another one runs");
    std::string directory =
        options.stateDirectory.empty() ? DefaultStateDirectory() : options.stateDirectory;
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    MachineLock *lock = MachineLockAcquire(directory, options.lockWait, options.holder, error);
    if (lock == nullptr) return nullptr;
    if (!RegistryStart(directory, error)) {
        MachineLockRelease(lock);
        return nullptr;
    }
    auto *machine = new Machine();
    machine->stateDirectory = directory;
    machine->manualClock = options.manualClock;
    machine->lock = lock;
    g_systemSize = options.systemSize;
    g_machine = machine;
    g_ready = false;
    g_booter = std::this_thread::get_id();
    MachineClearDebugLog();
    KeStartClockAndDispatcher(options.manualClock);
    PoolStart();
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
    g_readyMachine.store(machine, std::memory_order_release);
    g_bootDone.notify_all();
    return machine;
}

// The running machine once it has booted, or null. The booting thread and the
// machine's own threads use it while it boots; other threads wait for the boot.
Machine *BootedMachineLocked(std::unique_lock<std::mutex> &lock) {
    if (g_machine != nullptr && !g_ready && g_booter != std::this_thread::get_id() &&
        PsCurrentProcess() != PsSystemProcess())
        g_bootDone.wait(lock, [] { return g_ready || g_machine == nullptr; });
    return g_machine;
}

}  // namespace

Machine *MachineTryBoot(const MachineOptions &options, std::string *error) {
    Machine *machine;
    {
        std::lock_guard<std::mutex> lock(g_bootLock);
        machine = BootLocked(options, error);
    }
    return machine != nullptr ? StartManagers(machine) : nullptr;
}

Machine *MachineBoot(const MachineOptions &options) {
    std::string error;
    Machine *machine = MachineTryBoot(options, &error);
    if (machine == nullptr)
        VerifierStop("MACHINE_BOOT_FAILED", __builtin_return_address(0), "%s", error.c_str());
    return machine;
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
    g_readyMachine.store(nullptr, std::memory_order_release);
    g_embedded = false;
    g_ready = false;
    g_bootDone.notify_all();
    MachineLockRelease(machine->lock);
    delete machine;
}

Machine *MachineRunning() {
    std::lock_guard<std::mutex> lock(g_bootLock);
    return g_machine;
}

MachineOptions MachineEmbeddedOptions() {
    MachineOptions options;
    options.stateDirectory = DefaultStateDirectory();
    const char *noWait = getenv("KELU_MACHINE_NO_WAIT");
    if (noWait != nullptr && *noWait != 0 && strcmp(noWait, "0") != 0)
        options.lockWait = MachineLockWait::kFailAtOnce;
    return options;
}

Machine *MachineStartEmbedded(const MachineOptions &options, std::string *error) {
    Machine *machine;
    {
        std::unique_lock<std::mutex> lock(g_bootLock);
        if (Machine *running = BootedMachineLocked(lock)) return running;
        machine = BootLocked(options, error);
        if (machine == nullptr) return nullptr;
        g_embedded = true;
        static bool registered = false;
        if (!registered) atexit(ShutdownEmbeddedMachine);
        registered = true;
    }
    return StartManagers(machine);
}

Machine *MachineCurrent() {
    if (Machine *ready = g_readyMachine.load(std::memory_order_acquire)) [[likely]]
        return ready;
    {
        std::unique_lock<std::mutex> lock(g_bootLock);
        if (Machine *running = BootedMachineLocked(lock)) return running;
    }
    std::string error;
    Machine *machine = MachineStartEmbedded(MachineEmbeddedOptions(), &error);
    if (machine == nullptr) {
        fprintf(stderr, "The machine cannot start: %s.\n", error.c_str());
        exit(1);
    }
    return machine;
}

void MachineSetSystemSize(MM_SYSTEMSIZE size) { g_systemSize = size; }

extern "C" MM_SYSTEMSIZE NTAPI MmQuerySystemSize(VOID) {
    return static_cast<MM_SYSTEMSIZE>(g_systemSize.load());
}
