// The far end of the cable for a program written against a real port with a device
// attached: opens a port and reads whatever reaches it, until it is stopped.
//   kelu_port_listener.exe \\.\COMn
// Prints "listening" once the port is open, so that a script can wait for that.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelu_port_listener PORT\n");
        return 2;
    }
    HANDLE port = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "kelu_port_listener: cannot open %s (error %lu)\n", argv[1],
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    // Each read returns what came within a tenth of a second, so the loop never stalls.
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    if (!SetCommTimeouts(port, &timeouts)) {
        std::fprintf(stderr, "kelu_port_listener: SetCommTimeouts failed (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        char buffer[4096];
        DWORD received = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &received, nullptr)) {
            std::fprintf(stderr, "kelu_port_listener: ReadFile failed (error %lu)\n",
                         static_cast<unsigned long>(GetLastError()));
            return 1;
        }
    }
}
