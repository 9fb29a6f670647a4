#include "verifier.h"

#include "machine.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

// "image!symbol+0xNN" for a code address, "?" when it cannot be resolved.
std::string DescribeAddress(const void *address) {
    if (address == nullptr) return "?";
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "?";
    std::string image = info.dli_fname;
    size_t slash = image.rfind('/');
    if (slash != std::string::npos) image.erase(0, slash + 1);
    char offset[64];
    if (info.dli_sname != nullptr) {
        snprintf(offset, sizeof offset, "+0x%zx",
                 size_t(static_cast<const char *>(address) - static_cast<const char *>(info.dli_saddr)));
        return image + "!" + info.dli_sname + offset;
    }
    snprintf(offset, sizeof offset, "+0x%zx",
             size_t(static_cast<const char *>(address) - static_cast<const char *>(info.dli_fbase)));
    return image + offset;
}

}  // namespace

void VerifierStop(const char *rule, const void *caller, const char *detailFormat, ...) {
    char detail[1024];
    va_list args;
    va_start(args, detailFormat);
    vsnprintf(detail, sizeof detail, detailFormat, args);
    va_end(args);
    char line[1400];
    snprintf(line, sizeof line, "*** STOP 0x%08X %s: %s (caller %s)\n",
             DRIVER_VERIFIER_DETECTED_VIOLATION, rule, detail,
             DescribeAddress(caller).c_str());
    fputs(line, stderr);
    fflush(stderr);
    abort();
}
