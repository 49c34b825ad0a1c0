// A Win32 program for the runner's own tests: its main takes no arguments,
// leaves a port and an event open, and returns 3 when it was given the ports
// it expects (two, the second named COM7), 1 otherwise.
#include <windows.h>
#include <vodrek_ports.h>

#include <cstdlib>
#include <cstring>

int main() {
    if (VodrekPortCount() != 2 || std::strcmp(VodrekPortName(0), "COM3") != 0 ||
        std::strcmp(VodrekPortName(1), "COM7") != 0 || VodrekPortName(2) != nullptr)
        return 1;
    const char* fromEnvironment = std::getenv("VODREK_PORT1");
    if (!fromEnvironment || std::strcmp(fromEnvironment, "COM7") != 0)
        return 1;
    HANDLE port = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return 1;
    // A read left pending on a handle left open: process exit closes it.
    static char buffer[16];
    static OVERLAPPED ov;
    COMMTIMEOUTS none = {};
    SetCommTimeouts(port, &none);
    if (ReadFile(port, buffer, sizeof buffer, nullptr, &ov) || GetLastError() != ERROR_IO_PENDING)
        return 1;
    CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return 3;
}
