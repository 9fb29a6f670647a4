// Device I/O control codes for user mode; the kernel headers share the same
// definitions through devioctl.h.
#pragma once

#include <devioctl.h>
