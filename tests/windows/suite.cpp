// The suite's bookkeeping and the test for Wine.
#include "suite.h"

#include <windows.h>

#include <stdio.h>

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

void Suite::Group(const std::string &name)
{
    printf("\n== %s\n", name.c_str());
    fflush(stdout);
}

bool Suite::Check(bool held, const std::string &what)
{
    (held ? passed_ : failed_)++;
    printf("%s %s\n", held ? "  ok  " : "  FAIL", what.c_str());
    fflush(stdout);
    return held;
}

bool Suite::SkipUnderWine(const std::string &what, const std::string &divergence)
{
    if (!UnderWine()) return false;
    skipped_++;
    printf("  skip %s (Wine: %s)\n", what.c_str(), divergence.c_str());
    fflush(stdout);
    return true;
}

int Suite::Finish() const
{
    printf("\n%d passed, %d failed, %d skipped under Wine\n", passed_, failed_, skipped_);
    fflush(stdout);
    return failed_ == 0 ? 0 : 1;
}
