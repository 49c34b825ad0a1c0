// Serial port device controls and records, with the platform's names, values and
// layouts, for the host build.
#pragma once

#include "wdm.h"

DEFINE_GUID(GUID_DEVINTERFACE_COMPORT, 0x86e0d1e0, 0x8089, 0x11d0, 0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30,
            0x1f, 0x73);

#define SERIAL_IOCTL(n) CTL_CODE(FILE_DEVICE_SERIAL_PORT, n, METHOD_BUFFERED, FILE_ANY_ACCESS)

#include "serial_records.h"

#define IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE SERIAL_IOCTL(1)
#define IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE SERIAL_IOCTL(2)
#define IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS SERIAL_IOCTL(3)
#define IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS SERIAL_IOCTL(4)

typedef struct _SERIAL_BASIC_SETTINGS {
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_HANDFLOW HandFlow;
    ULONG RxFifo;
    ULONG TxFifo;
} SERIAL_BASIC_SETTINGS, *PSERIAL_BASIC_SETTINGS;
