// The kernel programming interface for drivers that are not limited to WDM: here
// the same set as <wdm.h>.
#pragma once

#include <wdm.h>
