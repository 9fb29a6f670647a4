// The lines `kelu serve` prints, one per notable event, from any of its threads.
#pragma once

#include <string>

// Prints the line (a newline is added) whole and at once.
void LogEvent(const std::string &line);
