/* loopback_test: writes a message to a serial port with a loopback plug on
 * it and checks that it comes back, then shows the modem lines and the
 * port's error state. Plain Win32: builds unchanged with a Windows compiler.
 *
 *   loopback_test [COMn] [baud]      (COM3 and 115200 by default) */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char *what)
{
    printf("FAILED: %s (error %lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

int main(int argc, char *argv[])
{
    const char *port = argc > 1 ? argv[1] : "COM3";
    DWORD baud = argc > 2 ? (DWORD)strtoul(argv[2], NULL, 10) : CBR_115200;
    char path[32];
    HANDLE h;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    const char message[] = "The quick brown fox jumps over the lazy dog 0123456789";
    char echo[sizeof message];
    DWORD written = 0, got = 0, total = 0, modem = 0, errors = 0;
    COMSTAT stat;
    DWORD started;

    snprintf(path, sizeof path, "\\\\.\\%s", port);
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return fail("CreateFile");

    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return fail("GetCommState");
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    if (!SetCommState(h, &dcb))
        return fail("SetCommState");

    timeouts.ReadIntervalTimeout = 50;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 1000;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(h, &timeouts))
        return fail("SetCommTimeouts");
    if (!PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR))
        return fail("PurgeComm");

    printf("%s at %lu baud 8N1\n", port, (unsigned long)baud);
    started = GetTickCount();
    if (!WriteFile(h, message, (DWORD)strlen(message), &written, NULL))
        return fail("WriteFile");
    while (total < written) {
        if (!ReadFile(h, echo + total, written - total, &got, NULL))
            return fail("ReadFile");
        if (got == 0)
            break;
        total += got;
    }
    printf("wrote %lu bytes, read back %lu in %lu ms\n", (unsigned long)written,
           (unsigned long)total, (unsigned long)(GetTickCount() - started));
    if (total != written || memcmp(echo, message, written) != 0) {
        printf("FAILED: what came back differs from what was sent\n");
        CloseHandle(h);
        return 1;
    }

    if (!GetCommModemStatus(h, &modem))
        return fail("GetCommModemStatus");
    printf("modem lines: CTS %s, DSR %s, RING %s, RLSD %s\n", modem & MS_CTS_ON ? "on" : "off",
           modem & MS_DSR_ON ? "on" : "off", modem & MS_RING_ON ? "on" : "off",
           modem & MS_RLSD_ON ? "on" : "off");
    if (!ClearCommError(h, &errors, &stat))
        return fail("ClearCommError");
    printf("errors 0x%lx, %lu bytes waiting in, %lu out\n", (unsigned long)errors,
           (unsigned long)stat.cbInQue, (unsigned long)stat.cbOutQue);

    if (!CloseHandle(h))
        return fail("CloseHandle");
    printf("PASSED\n");
    return errors == 0 ? 0 : 1;
}
