// The far end of the cable for a program written against a real port with a device
// attached: opens a port, starts the program, and reads whatever reaches the port until
// the program ends.
//   kelu_port_listener.exe \\.\COMn PROGRAM [ARGUMENT...]
// Its exit status is the program's, or 1 when the port or the program failed.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int Fail(const char *what, const char *name)
{
    std::fprintf(stderr, "kelu_port_listener: %s %s (error %lu)\n", what, name,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

// The program's command line, each argument quoted (none of ours holds a quote).
std::string CommandLine(int argc, char **argv)
{
    std::string line;
    for (int i = 2; i < argc; i++) {
        line += (i > 2 ? " \"" : "\"");
        line += argv[i];
        line += "\"";
    }
    return line;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kelu_port_listener PORT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    HANDLE port = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return Fail("cannot open", argv[1]);
    // Each read returns what came within a tenth of a second, so the program's end is
    // noticed soon after it comes.
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) return Fail("cannot set the timeouts of", argv[1]);

    std::string command = CommandLine(argc, argv);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION program = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &program))
        return Fail("cannot start", argv[2]);
    CloseHandle(program.hThread);
    while (WaitForSingleObject(program.hProcess, 0) == WAIT_TIMEOUT) {
        char buffer[4096];
        DWORD received = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &received, nullptr)) return Fail("cannot read", argv[1]);
    }
    DWORD status = 1;
    GetExitCodeProcess(program.hProcess, &status);
    CloseHandle(program.hProcess);
    CloseHandle(port);
    return static_cast<int>(status);
}
