// Throughput and round trip through a connected pair of ports, beside a Unix pipe and a
// socketpair, on a machine set up as the driver tests set theirs up (the drivers loaded
// from the build tree, no installation). `datapath_bench [--quick] [--runs N]`.
#include "datapath_fixture.h"
#include "datapath_measure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Bench : DataPathTest {
    void TestBody() override {}
    using DataPathTest::SetUp;
    using DataPathTest::TearDown;
};

}  // namespace

int main(int argc, char **argv) {
    DataPathOptions options;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            options.quick = true;
        } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            options.runs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: datapath_bench [--quick] [--runs N]\n");
            return 2;
        }
    }
    Bench bench;
    bench.SetUp();
    std::vector<DataPathRow> rows;
    std::string error;
    bool measured = MeasureDataPath("\\\\.\\COM1", "\\\\.\\COM2", options, &rows, &error);
    bench.TearDown();
    if (!measured) {
        std::fprintf(stderr, "datapath_bench: %s\n", error.c_str());
        return 1;
    }
    std::fputs(FormatDataPathTable(rows).c_str(), stdout);
    return 0;
}
