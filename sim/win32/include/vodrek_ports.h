/* The ports of the simulated machine a program runs on (see README.md): the
 * names the registry gave them, in the order the adapters were described
 * (--vodrek-ports / VODREK_PORTS). The same names are in the environment as
 * VODREK_PORT0, VODREK_PORT1, ... */
#ifndef VODREK_WIN32_VODREK_PORTS_H
#define VODREK_WIN32_VODREK_PORTS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How many ports the machine has. */
DWORD WINAPI VodrekPortCount(void);
/* "COM3" for the first port, ...; NULL past the last. */
LPCSTR WINAPI VodrekPortName(DWORD index);

#ifdef __cplusplus
}
#endif

#endif /* VODREK_WIN32_VODREK_PORTS_H */
