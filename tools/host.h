// What differs between the two machines the kelu command manages: the embedded
// machine of the emulated platform (host_embedded.cpp), and the real Windows machine
// that kelu.exe runs on (host_windows.cpp).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Where a driver package may be, in the order `kelu install` looks for one.
std::vector<std::filesystem::path> PackageDirectoryCandidates();

// Which machine the commands act on, as the opening of `kelu --help` says it.
const char *MachineOverview();

// The machine in a few words, for the heading of the demo's transcript.
std::string MachineNote();

// Whether an open that waits for the controlling application's approval leaves the
// driver free to take that approval. Not under Wine, whose driver host serves a
// driver's requests one at a time: the waiting open would hold the approval back.
bool WaitingOpensCanBeApproved();
