/* The Win32 headers compiled as C: the layouts must be the published ones
 * here too (the C++ side of the test compares them with its own). */
#include <windows.h>
#include <ntddser.h>
#include <vodrek_ports.h>
#include <stddef.h>

_Static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
_Static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
_Static_assert(sizeof(HANDLE) == sizeof(void *), "HANDLE is a pointer");
_Static_assert(sizeof(ULONG_PTR) == sizeof(void *), "ULONG_PTR is pointer wide");
_Static_assert(sizeof(DCB) == 28, "DCB");
_Static_assert(offsetof(DCB, wReserved) == 12, "DCB bit fields take one DWORD");
_Static_assert(offsetof(DCB, XonChar) == 21, "DCB characters");
_Static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");
_Static_assert(sizeof(COMSTAT) == 12, "COMSTAT");
_Static_assert(sizeof(COMMPROP) == 64, "COMMPROP");
_Static_assert(offsetof(COMMCONFIG, dcb) == 8, "COMMCONFIG");
_Static_assert(sizeof(OVERLAPPED) == (sizeof(void *) == 8 ? 32 : 20), "OVERLAPPED");
_Static_assert(offsetof(OVERLAPPED, hEvent) == (sizeof(void *) == 8 ? 24 : 16), "OVERLAPPED.hEvent");
_Static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");

/* The raw word of a DCB's flags with fDtrControl and fRtsControl set, as C lays it out. */
unsigned int vodrek_c_dcb_flags(unsigned dtr, unsigned rts)
{
    DCB dcb;
    DWORD word;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.fDtrControl = dtr;
    dcb.fRtsControl = rts;
    dcb.fAbortOnError = 1;
    memcpy(&word, (const char *)&dcb + 8, sizeof word);
    return word;
}

unsigned int vodrek_c_serial_code(void)
{
    return IOCTL_SERIAL_WAIT_ON_MASK;
}
