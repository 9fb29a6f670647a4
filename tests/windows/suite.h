// The suite's bookkeeping: each check prints one line and is counted; the run ends
// with "N passed, N failed" (and the skips). A check that a known divergence of Wine
// makes impossible is skipped there, and only there, with that divergence named.
#pragma once

#include <string>

class Suite {
public:
    // Prints the group's heading.
    void Group(const std::string &name);
    // One check: `held` is what a fault would break.
    bool Check(bool held, const std::string &what);
    // Under Wine: counts and prints the check `what` as skipped for the divergence
    // named, and returns true; the caller then does not run it. Elsewhere returns
    // false and the caller runs it as an ordinary check.
    bool SkipUnderWine(const std::string &what, const std::string &divergence);
    // The closing line; the process's exit status (0 only without failures).
    int Finish() const;

private:
    int passed_ = 0;
    int failed_ = 0;
    int skipped_ = 0;
};

// Whether this process runs on Wine (its ntdll has wine_get_version).
bool UnderWine();
