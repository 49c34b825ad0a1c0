// What the programs vodrek-sim runs on the simulated machine set on their
// port: a rate, 8 data bits, no parity, one stop bit, DTR and RTS on, no flow
// control. For sources that include the client API's <windows.h>.
#pragma once

#include <windows.h>

namespace cli {

inline void SetPlainLine(DCB& dcb, DWORD baud) {
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    dcb.fDsrSensitivity = FALSE;
    // A line error does not stop reads and writes until ClearCommError.
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

}  // namespace cli
