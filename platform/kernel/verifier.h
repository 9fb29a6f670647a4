// The verifier: where Windows would bug-check or Driver Verifier would complain,
// the emulated kernel stops the process with one line that names the rule and the
// code that broke it. Death tests match on the rule name.
#pragma once

// Bug-check code of the stops, as Driver Verifier reports them.
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0xC4

// Prints "*** STOP 0x000000C4 <rule>: <detail> (caller <image>!<symbol>+0x..)" to
// stderr, then aborts. `caller` is a code address of the image
// that broke the rule, usually __builtin_return_address(0) of the kernel routine it
// called; null when unknown.
[[noreturn]] void VerifierStop(const char *rule, const void *caller, const char *detailFormat, ...)
    __attribute__((format(printf, 3, 4)));
