// One machine per state directory at a time. The process that boots a machine holds
// the directory's lock file, "machine.lock", exclusively until it shuts the machine
// down; another process that wants the same machine waits for it, or fails at once
// if it asked not to wait. The lock is flock(2) on that file, so the operating
// system drops it with its process: a holder that crashes releases it.
//
// The holder writes who it is into the file (its pid and a description, by default
// its command line), for the messages of those that wait; it empties the file when
// it lets go. The file itself stays.
#pragma once

#include <string>

enum class MachineLockWait {
    // Block until the holder lets go. After about a second of waiting, say once on
    // stderr who holds the machine, then go on waiting.
    kWait,
    // Fail at once, saying who holds the machine.
    kFailAtOnce,
};

struct MachineLock;

// Takes the lock of `stateDirectory`, which must exist. `holder` describes this
// process to those that wait; empty means its command line. Returns null with one
// sentence in *error when the lock is held and `wait` is kFailAtOnce, or when the
// lock file cannot be opened.
MachineLock *MachineLockAcquire(const std::string &stateDirectory, MachineLockWait wait,
                                const std::string &holder, std::string *error);
// Lets go of the lock; null is allowed.
void MachineLockRelease(MachineLock *lock);

// Who holds the lock of `stateDirectory` as its holder wrote it ("pid 1234 (kelu
// serve)"); empty when nobody holds it.
std::string MachineLockHolder(const std::string &stateDirectory);
