/* A Win32 program for the runner's own tests: main returns while a thread of
 * its still waits for an event nobody sets, which the runner reports (125). */
#include <windows.h>

static DWORD WINAPI WaitForever(LPVOID event)
{
    WaitForSingleObject((HANDLE)event, INFINITE);
    return 0;
}

int main(void)
{
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, WaitForever, event, 0, NULL);
    Sleep(10);
    CloseHandle(thread);
    return 0;
}
