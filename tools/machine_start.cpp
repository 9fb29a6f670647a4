// Starting the embedded machine before a command runs, so that its failure to start
// is the command's failure.
#include "machine_start.h"

#include "command.h"

#include <machine.h>

void StartMachine()
{
    std::string error;
    if (MachineStartEmbedded(MachineEmbeddedOptions(), &error) == nullptr)
        throw CommandFailure(kOperationFailed, "the machine cannot start: " + error);
}
