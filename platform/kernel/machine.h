// The machine: one emulated computer in this process, with its state directory,
// clock, registry, pool, debug log and the managers that run on them. One machine
// runs at a time. Tests boot and shut down one per test; any other program gets the
// embedded machine, booted on its first platform call.
#pragma once

#include <wdm.h>

#include <string>

struct IoSystem;

struct MachineOptions {
    // Where the registry and the emulated system files live; created if missing.
    // Empty: $KELU_MACHINE_DIR, else $XDG_STATE_HOME/kelu/machine, else
    // $HOME/.local/state/kelu/machine.
    std::string stateDirectory;
    bool manualClock = false;
    MM_SYSTEMSIZE systemSize = MmLargeSystem;
};

struct Machine {
    std::string stateDirectory;
    bool manualClock = false;
    // Owned by the I/O, Plug and Play and power managers (IoSubsystemStart/Stop).
    IoSystem *io = nullptr;
};

// Boots a machine and makes it the current one: clock, registry (loaded from the
// state directory), DPC and timer threads, system and default processes, object
// namespace, then IoSubsystemStart. Booting while another machine runs is a stop.
Machine *MachineBoot(const MachineOptions &options);
// IoSubsystemStop, then ends the DPC and timer threads and frees the machine's
// objects. The registry file stays: a new machine on the directory sees it.
void MachineShutdown(Machine *machine);

// The running machine; boots the embedded one on first use (shut down at exit).
Machine *MachineCurrent();
// The running machine, or null.
Machine *MachineRunning();

// Manual clock only: moves the clock forward. Timers that fall due fire in order of
// their due time (ties in the order they were set), each at its own due time; the
// call returns after their DPCs have run. A DPC that sets a timer due within the
// interval makes it fire in this call as well.
void MachineAdvanceClock(ULONGLONG hundredNanoseconds);
void MachineAdvanceClockMs(ULONGLONG milliseconds);

// Runs until the DPC queue is empty and no DPC is running.
void MachineFlushDpcs();

// Threads blocked in a wait at this moment (any dispatcher wait, Sleep included).
// Tests wait for a thread to block before they advance the clock past its timeout.
size_t MachineBlockedThreads();

// DbgPrint output since boot (or since the last clear), in order. With
// KELU_DEBUG_ECHO set in the environment it is copied to stderr as well.
std::string MachineDebugLog();
void MachineClearDebugLog();
// Appends a line to the debug log (platform messages, verifier stops).
void MachineLog(const std::string &text);

void MachineSetSystemSize(MM_SYSTEMSIZE size);
