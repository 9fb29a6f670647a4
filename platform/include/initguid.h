// On Windows, including this header before a DEFINE_GUID makes that translation
// unit define the GUID instead of only declaring it. Here every DEFINE_GUID already
// defines its constant (see <ntdef.h>), so the header only has to exist.
#pragma once

#include <ntdef.h>
