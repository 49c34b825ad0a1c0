/* The serial port's device controls and their records, for programs that
 * send IOCTL_SERIAL_* codes themselves through DeviceIoControl: the same
 * definitions the kernel side has. */
#ifndef VODREK_WIN32_NTDDSER_H
#define VODREK_WIN32_NTDDSER_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#include "../../kernel/include/simnt/serial_records.h"

#ifdef __cplusplus
}
#endif

#endif /* VODREK_WIN32_NTDDSER_H */
