#include "io_subsystem.h"

void IoSubsystemStart(Machine *) {}
void IoSubsystemStop(Machine *) {}
