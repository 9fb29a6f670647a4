// Internal to the emulated user mode: a reader for the part of the Windows INF syntax
// that driver packages use. Sections in brackets (repeated sections merge), lines
// "key = field, field" or "field, field", ';' comments, a trailing '\' continuing a
// line, quoted fields ("" for a quote), and %name% replaced by the [Strings] entry
// of that name (%% is a percent sign; a name that [Strings] lacks, such as a
// directory id "%12%", is left as written). Section and key names compare without
// regard to case.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class InfFile {
public:
    struct Line {
        std::string key;                  // empty when the line has no '='
        std::vector<std::string> fields;  // at least one, possibly empty
    };

    // Reads the INF at a host path: ERROR_FILE_NOT_FOUND when it is missing,
    // ERROR_WRONG_INF_STYLE when its [Version] section lacks the Signature of a
    // Windows NT INF ("$Windows NT$" or "$Chicago$").
    DWORD Load(const std::string &hostPath);

    // The lines of a section, or null when the INF has no such section.
    const std::vector<Line> *Section(std::string_view name) const;
    // The first field of the section's first line with this key, or "".
    std::string Value(std::string_view section, std::string_view key) const;
    // The variant of an install section that Windows 2000 and XP on x86 use: name.NTx86,
    // else name.NT, else name; "" when none exists.
    std::string PlatformSection(const std::string &name) const;

    const std::string &hostPath() const { return hostPath_; }
    const std::string &hostDirectory() const { return hostDirectory_; }

private:
    void Parse(const std::string &text);
    void SubstituteStrings();

    std::string hostPath_;
    std::string hostDirectory_;
    std::vector<std::pair<std::string, std::vector<Line>>> sections_;
};

// Whether two names are equal without regard to case (ASCII).
bool SameName(std::string_view a, std::string_view b);
