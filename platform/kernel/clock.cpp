#include "clock.h"

#include "ke_internal.h"

#include <atomic>
#include <chrono>

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr ULONGLONG kSecondsFrom1601To1970 = 11644473600ULL;

bool g_manual;
std::atomic<ULONGLONG> g_manualNow;
std::chrono::steady_clock::time_point g_bootReal;
ULONGLONG g_systemTimeAtBoot;

}  // namespace

void ClockStart(bool manual) {
    g_manual = manual;
    g_manualNow = 0;
    g_bootReal = std::chrono::steady_clock::now();
    auto sinceUnix = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    g_systemTimeAtBoot = (kSecondsFrom1601To1970 * 1000000ULL + sinceUnix.count()) * 10ULL;
}

void ClockSetManualTime(ULONGLONG interruptTime) { g_manualNow = interruptTime; }

bool ClockIsManual() { return g_manual; }

ULONGLONG ClockInterruptTime() {
    if (g_manual) return g_manualNow;
    auto elapsed = std::chrono::steady_clock::now() - g_bootReal;
    return ULONGLONG(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

ULONGLONG ClockSystemTime() { return g_systemTimeAtBoot + ClockInterruptTime(); }

ULONGLONG ClockDeadlineFromTimeout(LONGLONG timeout) {
    if (timeout >= 0) {
        ULONGLONG absolute = ULONGLONG(timeout);
        return absolute <= g_systemTimeAtBoot ? 0 : absolute - g_systemTimeAtBoot;
    }
    ULONGLONG now = ClockInterruptTime();
    ULONGLONG relative = ULONGLONG(-(timeout + 1)) + 1;
    return relative >= KE_WAIT_FOREVER - now ? KE_WAIT_FOREVER - 1 : now + relative;
}

std::chrono::steady_clock::time_point ClockRealTimePoint(ULONGLONG interruptTime) {
    // Far deadlines are capped so that the host's time arithmetic cannot overflow.
    constexpr ULONGLONG kCap = 100ULL * 365 * 24 * 3600 * 10000000ULL;
    if (interruptTime > kCap) interruptTime = kCap;
    return g_bootReal + std::chrono::nanoseconds(interruptTime * 100);
}
