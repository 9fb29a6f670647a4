// Starting the machine that a command works on.
#pragma once

// Starts this process's machine, the one in $KELU_MACHINE_DIR, unless it runs
// already. While another process holds that machine it waits for it, or, with
// KELU_MACHINE_NO_WAIT set (`kelu --no-wait` sets it), fails at once. A machine that
// cannot start (held, or its state file damaged) fails the command with the reason
// (exit status 1), where the first platform call would end the process instead.
void StartMachine();
