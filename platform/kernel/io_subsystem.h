// Hooks through which the machine starts and stops the I/O, Plug and Play and
// power managers. Called once per machine, in the booting / shutting-down thread.
#pragma once

struct Machine;

void IoSubsystemStart(Machine *machine);
void IoSubsystemStop(Machine *machine);
