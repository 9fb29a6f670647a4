// What differs between the two machines the kelu command manages: the embedded
// machine of the emulated platform (host_embedded.cpp, with machine_start.cpp), and
// the real Windows machine that kelu.exe runs on (host_windows.cpp, which also
// defines StartMachine of machine_start.h: there is nothing to start).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Where a driver package may be, in the order `kelu install` looks for one.
std::vector<std::filesystem::path> PackageDirectoryCandidates();

// The opening of `kelu --help`: the usage line and which machine the commands act on.
const char *MachineOverview();

// Takes the options that say how this host's machine is reached from the front of the
// command line (the embedded machine's --no-wait).
void TakeMachineOptions(std::vector<std::string> &words);

// The machine in a few words, for the heading of the demo's transcript.
std::string MachineNote();

// Whether an open that waits for the controlling application's approval leaves the
// driver free to take that approval. Not under Wine, whose driver host serves a
// driver's requests one at a time: the waiting open would hold the approval back.
bool WaitingOpensCanBeApproved();
