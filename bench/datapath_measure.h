// Measuring a connected pair of ports beside a Unix pipe and a socketpair: throughput
// for requests of 1, 64, 4096 and 65536 bytes on synchronous and on overlapped handles,
// and the one-byte round trip on both. Only Win32 calls reach the ports, so the bench
// program and `kelu bench` measure the same way on whatever machine they run on.
#pragma once

#include <string>
#include <vector>

struct DataPathOptions {
    // A short run (a few seconds in all) that keeps the measurement working; its
    // figures are rough.
    bool quick = false;
    // Each figure is the best of this many runs: other work on the machine only ever
    // slows a run down.
    int runs = 1;
};

// One row of the table. Throughput rows are in MB/s (more is better), round-trip rows
// in microseconds (less is better).
struct DataPathRow {
    std::string what;
    bool roundTrip;
    double ports;
    double pipe;
    double socketpair;
};

// Measures the pair whose ports are named `first` and `second` (as CreateFileA takes
// them, "\\.\COM1"), which must be connected and not open. Returns false with the
// reason in `error` when a port cannot be opened.
bool MeasureDataPath(const std::string &first, const std::string &second,
                     const DataPathOptions &options, std::vector<DataPathRow> *rows,
                     std::string *error);

// The table as text: a line per row with the ratios of the ports to the pipe and to the
// socketpair, then the overlapped round trip against the synchronous one.
std::string FormatDataPathTable(const std::vector<DataPathRow> &rows);
