// The machine: one emulated computer in this process, with its state directory,
// clock, registry, pool, debug log and the managers that run on them. One machine
// runs at a time. Tests boot and shut down one per test; any other program gets the
// embedded machine, booted on its first platform call.
#pragma once

#include <wdm.h>

#include "machine_lock.h"

#include <string>

struct IoSystem;

struct MachineOptions {
    // Where the registry and the emulated system files live; created if missing.
    // Empty: $KELU_MACHINE_DIR, else $XDG_STATE_HOME/kelu/machine, else
    // $HOME/.local/state/kelu/machine.
    std::string stateDirectory;
    bool manualClock = false;
    MM_SYSTEMSIZE systemSize = MmLargeSystem;
    // What to do while another process runs the machine of the same state directory.
    MachineLockWait lockWait = MachineLockWait::kWait;
    // How this process is described to those that wait for the machine; empty: its
    // command line.
    std::string holder;
};

struct Machine {
    std::string stateDirectory;
    bool manualClock = false;
    MachineLock *lock = nullptr;  // the state directory's, held until shutdown
    // Owned by the I/O, Plug and Play and power managers (IoSubsystemStart/Stop).
    IoSystem *io = nullptr;
};

// Boots a machine and makes it the current one: the state directory's lock, the
// registry (loaded from the directory), clock, DPC and timer threads, system and
// default processes, object namespace, then IoSubsystemStart. Booting while another
// machine runs in this process is a stop. Returns null with one sentence in *error,
// having started nothing, when another process holds the directory and
// options.lockWait is kFailAtOnce, or when the registry file is damaged (it is then
// left as it is).
Machine *MachineTryBoot(const MachineOptions &options, std::string *error);
// MachineTryBoot where a failure is a stop, for tests.
Machine *MachineBoot(const MachineOptions &options);
// IoSubsystemStop, then ends the DPC and timer threads, frees the machine's objects
// and lets go of the directory's lock. The registry file stays: a new machine on the
// directory sees it.
void MachineShutdown(Machine *machine);

// The embedded machine's options, from the environment: the state directory as
// above, and KELU_MACHINE_NO_WAIT (set to anything but "" or "0") to fail at once
// rather than wait while another process holds the machine.
MachineOptions MachineEmbeddedOptions();
// Boots the embedded machine (shut down at exit) unless a machine runs already, and
// returns the running machine; null with the reason in *error as MachineTryBoot.
// A program calls it first to report that failure in its own words.
Machine *MachineStartEmbedded(const MachineOptions &options, std::string *error);
// The running machine; boots the embedded one on first use with
// MachineEmbeddedOptions. If it cannot start, the process ends with the reason on
// stderr and exit status 1: no platform call can go on without a machine.
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

// DbgPrint output since boot (or since the last clear), in order: its latest whole
// lines up to 1 MiB. With KELU_DEBUG_ECHO set in the environment it is copied to
// stderr as well, all of it.
std::string MachineDebugLog();
void MachineClearDebugLog();
// Appends a line to the debug log (platform messages, verifier stops).
void MachineLog(const std::string &text);

void MachineSetSystemSize(MM_SYSTEMSIZE size);
