// What differs between the two machines the kelu command manages: the embedded
// machine of the emulated platform (host_embedded.cpp), and the real Windows machine
// that kelu.exe runs on (host_windows.cpp).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Where a driver package may be, in the order `kelu install` looks for one.
std::vector<std::filesystem::path> PackageDirectoryCandidates();

// Which machine the commands act on, as the opening of `kelu --help` says it.
const char *MachineOverview();

// The options about the machine that may come before the command, as the usage line
// shows them ("" when there are none), and the routine that takes them off the front
// of the command line.
const char *MachineOptionsSynopsis();
void TakeMachineOptions(std::vector<std::string> *words);

// Starts the machine a command works on, unless it runs already. The embedded machine
// waits while another process holds it, or, with KELU_MACHINE_NO_WAIT set
// (`kelu --no-wait` sets it), fails at once; a machine that cannot start (held, or
// its state file damaged) fails the command with the reason (exit status 1), where
// the first platform call would end the process instead. A real machine runs already.
void StartMachine();

// A running `kelu serve` carries the command line out, with this process's working
// directory, input and output: its exit status. Nothing when no server runs (always
// on a real machine, which runs already): the command then runs here.
std::optional<int> ForwardToServer(const std::vector<std::string> &words);

// The machine in a few words, for the heading of the demo's transcript.
std::string MachineNote();

// Whether an open that waits for the controlling application's approval leaves the
// driver free to take that approval. Not under Wine, whose driver host serves a
// driver's requests one at a time: the waiting open would hold the approval back.
bool WaitingOpensCanBeApproved();
